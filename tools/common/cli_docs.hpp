// What a command-line tool says about itself beyond --help: its manual page, its shell completion
// and a guess at what a mistyped word meant. All three are read from the CLI11 command tree that
// parses the command line, so none of them can drift from what the tool accepts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace tarn::cli {

/// A section of a manual page beyond those read from the tree (EXIT STATUS, FILES, SEE ALSO...).
/// Its text is plain: paragraphs separated by an empty line; lines starting with two spaces are
/// kept as written (examples, tables).
struct ManSection {
    std::string title;
    std::string text;
};

/// The manual page (roff, man(7) macros, section 1) of `app` and its visible subcommands, named
/// after the app; `version` goes into the page's footer.
std::string manPage(const CLI::App& app, std::string_view version, const std::vector<ManSection>& extra = {});

enum class Shell { bash, zsh, fish };
/// "bash", "zsh" or "fish"; nullopt for anything else.
std::optional<Shell> shellNamed(std::string_view name);
/// A completion script for `shell` that completes the subcommands and options of `app`: source
/// it, or install it where the shell looks (see the packaging).
std::string completionScript(const CLI::App& app, Shell shell);

/// The candidate a person most likely meant by `typed`: a close spelling (letters swapped,
/// dropped, doubled or mistyped, ignoring case) or the only candidate it begins. nullopt when
/// nothing is close enough to be worth saying.
std::optional<std::string> closestMatch(std::string_view typed, const std::vector<std::string>& candidates);

/// For a command line CLI11 refused, what the first word it did not know probably was, as the
/// user should have typed it ("servers", "--json"); nullopt when no word is unknown or nothing is
/// close. Reads only the command line and the tree, never values of options.
std::optional<std::string> suggestionFor(const CLI::App& root, const std::vector<std::string>& args);

/// The global options of `root`, one per line, for the help of every subcommand.
std::string globalOptionsText(const CLI::App& root);

}  // namespace tarn::cli
