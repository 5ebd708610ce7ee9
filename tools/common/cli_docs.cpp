#include "common/cli_docs.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <sstream>

namespace tarn::cli {
namespace {

// Hidden subcommands and options have no group; the help subcommand of CLI11 is not ours.
std::vector<const CLI::App*> visibleSubcommands(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty() && !sub->get_name().empty(); });
}

std::vector<const CLI::Option*> visibleOptions(const CLI::App& app) {
    return app.get_options([](const CLI::Option* opt) { return !opt->get_group().empty(); });
}

bool takesValue(const CLI::Option& opt) { return opt.get_expected_min() > 0; }

// "TEXT:{secret-service,file}" names its choices; anything else takes free text.
std::vector<std::string> choicesOf(const CLI::Option& opt) {
    const std::string type = opt.get_type_name();
    const auto open = type.find(":{");
    const auto close = type.rfind('}');
    if (open == std::string::npos || close == std::string::npos || close < open) return {};
    std::vector<std::string> choices;
    std::stringstream list(type.substr(open + 2, close - open - 2));
    for (std::string item; std::getline(list, item, ',');) choices.push_back(item);
    return choices;
}

std::vector<std::string> flagNames(const CLI::Option& opt) {
    std::vector<std::string> names;
    for (const auto& l : opt.get_lnames()) names.push_back("--" + l);
    for (const auto& s : opt.get_snames()) names.push_back("-" + s);
    return names;
}

std::string label(const CLI::Option& opt) {
    std::string type = opt.get_type_name();
    if (auto colon = type.find(':'); colon != std::string::npos) type.resize(colon);
    return type.empty() ? "VALUE" : type;
}

std::string describe(const std::string& description, const std::string& appName) {
    // "tarnctl: the Tarn VPN command-line client" reads "the Tarn VPN command-line client" after the name.
    if (description.rfind(appName + ": ", 0) == 0) return description.substr(appName.size() + 2);
    return description;
}

// --- manual page ---------------------------------------------------------------------------------

std::string roff(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out.front() == '.' || out.front() == '\'')) out.insert(0, "\\&");
    return out;
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    }
    return text;
}

void paragraphs(std::ostream& os, std::string_view text) {
    std::istringstream lines{std::string(text)};
    bool open = false;
    bool literal = false;
    for (std::string line; std::getline(lines, line);) {
        const bool indented = line.rfind("  ", 0) == 0;
        if (line.empty()) {
            if (literal) os << ".fi\n";
            literal = open = false;
            continue;
        }
        if (indented && !literal) {
            os << ".PP\n.nf\n";
            literal = open = true;
        } else if (!indented && literal) {
            os << ".fi\n";
            literal = open = false;
        }
        if (!open) {
            os << ".PP\n";
            open = true;
        }
        os << roff(literal ? std::string_view(line).substr(2) : std::string_view(line)) << '\n';
    }
    if (literal) os << ".fi\n";
}

void optionEntries(std::ostream& os, const CLI::App& app) {
    for (const CLI::Option* opt : visibleOptions(app)) {
        os << ".TP\n";
        if (opt->get_positional() && !opt->nonpositional()) {
            os << "\\fI" << roff(opt->get_name()) << "\\fR\n";
        } else {
            const auto names = flagNames(*opt);
            for (std::size_t i = 0; i < names.size(); ++i) os << (i ? ", " : "") << "\\fB" << roff(names[i]) << "\\fR";
            if (takesValue(*opt)) os << " \\fI" << roff(label(*opt)) << "\\fR";
            os << '\n';
        }
        std::string text = opt->get_description();
        if (const auto choices = choicesOf(*opt); !choices.empty()) {
            text += " (one of:";
            for (const auto& c : choices) text += " " + c;
            text += ")";
        }
        os << roff(text) << '\n';
    }
}

void commandEntries(std::ostream& os, const CLI::App& app, const std::string& prefix) {
    for (const CLI::App* sub : visibleSubcommands(app)) {
        const std::string path = prefix + " " + sub->get_name();
        os << ".SS \"" << roff(path) << "\"\n" << roff(sub->get_description()) << '\n';
        optionEntries(os, *sub);
        commandEntries(os, *sub, path);
    }
}

// --- completion ----------------------------------------------------------------------------------

// Every command path of the tree ("", "devices", "api vpnConfig"...) with what may follow it.
struct Node {
    std::string path;
    const CLI::App* app;
};

void collect(const CLI::App& app, const std::string& path, std::vector<Node>& out) {
    out.push_back({path, &app});
    for (const CLI::App* sub : visibleSubcommands(app)) {
        collect(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), out);
    }
}

std::vector<Node> nodesOf(const CLI::App& root) {
    std::vector<Node> nodes;
    collect(root, "", nodes);
    return nodes;
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

std::vector<std::string> subcommandWords(const CLI::App& app) {
    std::vector<std::string> words;
    for (const CLI::App* sub : visibleSubcommands(app)) words.push_back(sub->get_name());
    return words;
}

std::vector<std::string> optionWords(const CLI::App& app) {
    std::vector<std::string> words;
    for (const CLI::Option* opt : visibleOptions(app)) {
        for (const auto& l : opt->get_lnames()) words.push_back("--" + l);
    }
    return words;
}

// Options whose next word is their value, anywhere in the tree: a completion walking the words
// typed so far skips those values rather than taking them for commands.
std::vector<std::string> valueOptionWords(const std::vector<Node>& nodes) {
    std::vector<std::string> words;
    for (const auto& node : nodes) {
        for (const CLI::Option* opt : node.app->get_options()) {
            if (!takesValue(*opt) || opt->get_positional()) continue;
            for (const auto& name : flagNames(*opt)) {
                if (std::find(words.begin(), words.end(), name) == words.end()) words.push_back(name);
            }
        }
    }
    return words;
}

std::string singleQuoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The shell function that walks the typed words to the command path, shared by bash and zsh.
void posixWordTables(std::ostream& os, const std::string& fn, const std::vector<Node>& nodes,
                     const std::vector<std::string>& globals) {
    os << fn << "_subcommands() {\n    case \"$1\" in\n";
    for (const auto& node : nodes) {
        const auto subs = subcommandWords(*node.app);
        if (!subs.empty()) os << "        " << singleQuoted(node.path) << ") echo " << singleQuoted(joined(subs)) << " ;;\n";
    }
    os << "    esac\n}\n";
    os << fn << "_words() {\n    case \"$1\" in\n";
    for (const auto& node : nodes) {
        auto words = subcommandWords(*node.app);
        for (const auto& o : optionWords(*node.app)) words.push_back(o);
        if (node.app->get_parent() != nullptr) {
            for (const auto& g : globals) {
                if (std::find(words.begin(), words.end(), g) == words.end()) words.push_back(g);
            }
        }
        os << "        " << singleQuoted(node.path) << ") echo " << singleQuoted(joined(words)) << " ;;\n";
    }
    os << "    esac\n}\n";
    os << fn << "_choices() {\n    case \"$1\" in\n";
    for (const auto& node : nodes) {
        for (const CLI::Option* opt : visibleOptions(*node.app)) {
            const auto choices = choicesOf(*opt);
            if (choices.empty()) continue;
            for (const auto& name : flagNames(*opt)) os << "        " << singleQuoted(name) << ") echo " << singleQuoted(joined(choices)) << " ;;\n";
        }
    }
    os << "        *) return 1 ;;\n    esac\n}\n";
}

// The function's walk over the words typed before the cursor to the command path in `cmdpath`,
// the same in bash and zsh but for how each names the words (zsh counts from 1 and calls them
// `words`; `path` is special there).
void posixWalk(std::ostream& os, const std::string& fn, std::string_view wordsArray, std::string_view firstWord,
               std::string_view cursor, const std::vector<std::string>& valueOptions) {
    os << fn << "() {\n"
       << "    local cmdpath=\"\" word i prev=\"${" << wordsArray << "[" << cursor << "-1]}\" choices\n"
       << "    local values=" << singleQuoted(" " + joined(valueOptions) + " ") << "\n"
       << "    for ((i = " << firstWord << "; i < " << cursor << "; i++)); do\n"
       << "        word=\"${" << wordsArray << "[i]}\"\n"
       << "        if [[ \"$values\" == *\" $word \"* ]]; then ((i++)); continue; fi\n"
       << "        [[ \"$word\" == -* ]] && continue\n"
       << "        if [[ \" $(" << fn << "_subcommands \"$cmdpath\") \" == *\" $word \"* ]]; then cmdpath=\"${cmdpath:+$cmdpath }$word\"; fi\n"
       << "    done\n";
}

std::string functionName(std::string prefix, const std::string& name) {
    prefix += name;
    std::replace(prefix.begin(), prefix.end(), '-', '_');
    return prefix;
}

std::string bashScript(const std::string& name, const std::vector<Node>& nodes, const std::vector<std::string>& globals,
                       const std::vector<std::string>& valueOptions) {
    const std::string fn = functionName("_", name);
    std::ostringstream os;
    os << "# bash completion for " << name << " (generated by `" << name << " completion bash`)\n";
    posixWordTables(os, fn, nodes, globals);
    posixWalk(os, fn, "COMP_WORDS", "1", "COMP_CWORD", valueOptions);
    os << "    local cur=\"${COMP_WORDS[COMP_CWORD]}\"\n"
       << "    if [[ \"$values\" == *\" $prev \"* ]]; then\n"
       << "        if choices=$(" << fn << "_choices \"$prev\"); then\n"
       << "            COMPREPLY=($(compgen -W \"$choices\" -- \"$cur\"))\n"
       << "        else\n"
       << "            compopt -o filenames 2>/dev/null\n"
       << "            COMPREPLY=($(compgen -f -- \"$cur\"))\n"
       << "        fi\n"
       << "        return\n"
       << "    fi\n"
       << "    COMPREPLY=($(compgen -W \"$(" << fn << "_words \"$cmdpath\")\" -- \"$cur\"))\n"
       << "}\n"
       << "complete -F " << fn << ' ' << name << '\n';
    return os.str();
}

std::string zshScript(const std::string& name, const std::vector<Node>& nodes, const std::vector<std::string>& globals,
                      const std::vector<std::string>& valueOptions) {
    const std::string fn = functionName("_", name);
    std::ostringstream os;
    os << "#compdef " << name << "\n# zsh completion for " << name << " (generated by `" << name << " completion zsh`)\n";
    posixWordTables(os, fn, nodes, globals);
    posixWalk(os, fn, "words", "2", "CURRENT", valueOptions);
    os << "    if [[ \"$values\" == *\" $prev \"* ]]; then\n"
       << "        if choices=$(" << fn << "_choices \"$prev\"); then compadd -- ${=choices}; else _files; fi\n"
       << "        return\n"
       << "    fi\n"
       << "    compadd -- ${=\"$(" << fn << "_words \"$cmdpath\")\"}\n"
       << "}\n"
       << "if [[ \"${funcstack[1]}\" == \"" << fn << "\" ]]; then\n"
       << "    " << fn << " \"$@\"\n"
       << "elif (( $+functions[compdef] )); then\n"
       << "    compdef " << fn << ' ' << name << "\n"
       << "fi\n";
    return os.str();
}

std::string fishQuoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

std::string fishScript(const std::string& name, const std::vector<Node>& nodes, const std::vector<std::string>& valueOptions) {
    const std::string fn = functionName("__", name);
    std::ostringstream os;
    os << "# fish completion for " << name << " (generated by `" << name << " completion fish`)\n";
    os << "function " << fn << "_subcommands\n    switch $argv[1]\n";
    for (const auto& node : nodes) {
        const auto subs = subcommandWords(*node.app);
        if (subs.empty()) continue;
        os << "        case " << fishQuoted(node.path) << "\n            printf '%s\\n'";
        for (const auto& s : subs) os << ' ' << fishQuoted(s);
        os << '\n';
    }
    os << "    end\nend\n";
    os << "function " << fn << "_path\n"
       << "    set -l tokens (commandline -opc)\n"
       << "    set -e tokens[1]\n"
       << "    set -l path ''\n"
       << "    set -l skip 0\n"
       << "    for t in $tokens\n"
       << "        if test $skip = 1\n            set skip 0\n            continue\n        end\n"
       << "        if contains -- $t";
    for (const auto& v : valueOptions) os << ' ' << fishQuoted(v);
    os << "\n            set skip 1\n            continue\n        end\n"
       << "        string match -q -- '-*' $t; and continue\n"
       << "        if contains -- $t (" << fn << "_subcommands \"$path\")\n"
       << "            set path (string trim -- \"$path $t\")\n"
       << "        end\n"
       << "    end\n"
       << "    echo $path\n"
       << "end\n";
    os << "function " << fn << "_at\n"
       << "    set -l path (" << fn << "_path)\n"
       << "    test \"$path\" = \"$argv[1]\"\n"
       << "end\n";
    os << "complete -c " << name << " -f\n";
    for (const auto& node : nodes) {
        const std::string at = "-n " + fishQuoted(fn + "_at " + fishQuoted(node.path)) + ' ';
        for (const CLI::App* sub : visibleSubcommands(*node.app)) {
            os << "complete -c " << name << ' ' << at << "-a " << fishQuoted(sub->get_name()) << " -d "
               << fishQuoted(sub->get_description()) << '\n';
        }
        for (const CLI::Option* opt : visibleOptions(*node.app)) {
            if (opt->get_positional() && !opt->nonpositional()) continue;
            // The root's options may follow any command.
            os << "complete -c " << name << ' ' << (node.app->get_parent() == nullptr ? std::string() : at);
            for (const auto& l : opt->get_lnames()) os << "-l " << l << ' ';
            for (const auto& s : opt->get_snames()) os << "-s " << s << ' ';
            if (takesValue(*opt)) {
                const auto choices = choicesOf(*opt);
                if (choices.empty()) {
                    os << "-r -F ";
                } else {
                    os << "-x -a " << fishQuoted(joined(choices)) << ' ';
                }
            }
            os << "-d " << fishQuoted(opt->get_description()) << '\n';
        }
    }
    return os.str();
}

// Optimal string alignment distance: edits, with a swap of two neighbours counting as one.
std::size_t distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::string manPage(const CLI::App& app, std::string_view version, const std::vector<ManSection>& extra) {
    const std::string name = app.get_name();
    std::ostringstream os;
    os << ".TH " << roff(upper(name)) << " 1 \"\" \"" << roff(std::string(version)) << "\" \"User Commands\"\n";
    os << ".SH NAME\n" << roff(name) << " \\- " << roff(describe(app.get_description(), name)) << '\n';
    os << ".SH SYNOPSIS\n.B " << roff(name) << "\n[\\fIOPTIONS\\fR]";
    if (!visibleSubcommands(app).empty()) os << " \\fICOMMAND\\fR [\\fIARGUMENTS\\fR]";
    os << '\n';
    os << ".SH OPTIONS\n";
    optionEntries(os, app);
    if (!visibleSubcommands(app).empty()) {
        os << ".SH COMMANDS\n";
        commandEntries(os, app, name);
    }
    for (const auto& section : extra) {
        os << ".SH " << roff(upper(section.title)) << '\n';
        paragraphs(os, section.text);
    }
    return os.str();
}

std::optional<Shell> shellNamed(std::string_view name) {
    if (name == "bash") return Shell::bash;
    if (name == "zsh") return Shell::zsh;
    if (name == "fish") return Shell::fish;
    return std::nullopt;
}

std::string completionScript(const CLI::App& app, Shell shell) {
    const auto nodes = nodesOf(app);
    const auto globals = optionWords(app);
    const auto values = valueOptionWords(nodes);
    switch (shell) {
        case Shell::bash: return bashScript(app.get_name(), nodes, globals, values);
        case Shell::zsh: return zshScript(app.get_name(), nodes, globals, values);
        case Shell::fish: return fishScript(app.get_name(), nodes, values);
    }
    return {};
}

std::optional<std::string> closestMatch(std::string_view typed, const std::vector<std::string>& candidates) {
    const std::string lowTyped = CLI::detail::to_lower(std::string(typed));
    std::optional<std::string> best;
    std::size_t bestDistance = std::max<std::size_t>(1, std::min<std::size_t>(3, typed.size() / 3));
    std::vector<std::string> prefixed;
    for (const auto& candidate : candidates) {
        const std::string low = CLI::detail::to_lower(candidate);
        if (low == lowTyped && candidate != typed) return candidate;  // only the case differs
        const std::size_t d = distance(lowTyped, low);
        if (d <= bestDistance && (!best || d < bestDistance)) {
            best = candidate;
            bestDistance = d;
        }
        if (lowTyped.size() >= 3 && low.rfind(lowTyped, 0) == 0) prefixed.push_back(candidate);
    }
    if (best) return best;
    if (prefixed.size() == 1) return prefixed.front();
    return std::nullopt;
}

std::optional<std::string> suggestionFor(const CLI::App& root, const std::vector<std::string>& args) {
    std::vector<const CLI::App*> chain{&root};
    const auto longOptions = [&chain] {
        std::vector<std::string> names;
        for (const CLI::App* app : chain) {
            for (const auto& w : optionWords(*app)) names.push_back(w);
        }
        return names;
    };
    const auto findOption = [&chain](const std::string& flag) -> const CLI::Option* {
        for (const CLI::App* app : chain) {
            for (const CLI::Option* opt : app->get_options()) {
                const auto names = flagNames(*opt);
                if (std::find(names.begin(), names.end(), flag) != names.end()) return opt;
            }
        }
        return nullptr;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") break;
        if (word.rfind("--", 0) == 0) {
            const std::string flag = word.substr(0, word.find('='));
            const CLI::Option* opt = findOption(flag);
            if (opt == nullptr) return closestMatch(flag, longOptions());
            if (takesValue(*opt) && word.find('=') == std::string::npos) ++i;
            continue;
        }
        if (word.size() > 1 && word[0] == '-') {
            const CLI::Option* opt = findOption(word.substr(0, 2));
            if (opt != nullptr && takesValue(*opt) && word.size() == 2) ++i;
            continue;
        }
        const CLI::App* current = chain.back();
        const auto subs = visibleSubcommands(*current);
        const auto sub = std::find_if(subs.begin(), subs.end(), [&](const CLI::App* s) { return s->get_name() == word; });
        if (sub != subs.end()) {
            chain.push_back(*sub);
            continue;
        }
        // A word where a command was expected; positional arguments of a command are not ours to judge.
        const bool takesPositionals = !current->get_options([](const CLI::Option* o) { return o->get_positional(); }).empty();
        if (!subs.empty() && !takesPositionals) return closestMatch(word, subcommandWords(*current));
    }
    return std::nullopt;
}

std::string globalOptionsText(const CLI::App& root) {
    std::ostringstream os;
    os << "Global options (before or after the command):\n";
    for (const CLI::Option* opt : visibleOptions(root)) {
        if (opt->get_lnames().empty()) continue;
        const std::string& l = opt->get_lnames().front();
        if (l == "help" || l == "version") continue;
        std::string left = "  --" + l + (takesValue(*opt) ? " " + label(*opt) : "");
        if (left.size() < 24) left.resize(24, ' ');
        os << left << ' ' << opt->get_description() << '\n';
    }
    return os.str();
}

}  // namespace tarn::cli
