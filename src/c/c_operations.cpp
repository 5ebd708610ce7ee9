// tarn_client_call's table of operations and tarn_operations' JSON, both derived from the one
// description of the operations (tarn/api/operations.hpp), so every operation is reachable by
// name and bindings can check that they offer exactly these.
#include "c_operations.hpp"

#include "c_errors.hpp"

#include <map>

namespace tarn::capi {

namespace {

using Factory = Operation (*)(std::string_view argumentsJSON);

const std::map<std::string_view, Factory, std::less<>>& table() {
    static const auto built = [] {
        std::map<std::string_view, Factory, std::less<>> byName;
        operations::forEach([&]<class Op>() {
            byName.emplace(Op::snakeName, [](std::string_view json) {
                return bound<Op>(JSONDecoder::tarn().decode<typename Op::Arguments>(json));
            });
        });
        return byName;
    }();
    return built;
}

}  // namespace

Operation operationNamed(const std::string& name, std::string_view argumentsJSON) {
    auto found = table().find(name);
    if (found == table().end()) throw InvalidArgument("no operation named \"" + name + "\"");
    return found->second(argumentsJSON);
}

const std::string& operationsJSON() {
    static const std::string text = [] {
        auto quoted = [](std::string_view s) { return json::stringLiteral(s); };
        auto flag = [](bool b) { return std::string(b ? "true" : "false"); };
        std::string out = "[";
        operations::forEach([&]<class Op>() {
            if (out.size() > 1) out += ',';
            out += "{\"name\":" + quoted(Op::snakeName) + ",\"client_name\":" + quoted(Op::name) +
                   ",\"method\":" + quoted(Op::method) + ",\"path\":" + quoted(Op::path) +
                   ",\"authorization\":" + quoted(operations::rawValue(Op::authorization)) +
                   ",\"refreshes_on_401\":" + flag(operations::refreshesOn401<Op>) +
                   ",\"takes_record\":" + flag(operations::takesRecord<Op>) +
                   ",\"answers\":" + flag(!std::is_void_v<typename Op::Answer>) + ",\"summary\":" + quoted(Op::summary) +
                   ",\"arguments\":[";
            bool first = true;
            for (const operations::Field& f : operations::fields<Op>()) {
                if (!first) out += ',';
                first = false;
                out += "{\"name\":" + quoted(f.name) + ",\"type\":" + quoted(f.type) +
                       ",\"required\":" + flag(f.required) + ",\"secret\":" + flag(f.secret) + "}";
            }
            out += "]}";
        });
        return out + "]";
    }();
    return text;
}

}  // namespace tarn::capi
