#include "sendmail/options.h"

namespace sendmail {

namespace {

// Options that take a value, given joined ("-fme@x") or as the next argument ("-f me@x").
bool TakeValue(const std::vector<std::string>& arguments, size_t& i, std::string& value) {
    const std::string& argument = arguments[i];
    if (argument.size() > 2) {
        value = argument.substr(2);
        return true;
    }
    if (i + 1 >= arguments.size()) return false;
    value = arguments[++i];
    return true;
}

} // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& arguments, std::string& error) {
    Options options;
    size_t i = 0;
    for (; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") {
            ++i;
            break;
        }
        if (argument.size() < 2 || argument[0] != '-') break;
        char letter = argument[1];
        std::string value;
        switch (letter) {
        case 't':
            options.recipientsFromHeaders = true;
            break;
        case 'i':
            options.dotEndsInput = false;
            break;
        case 'f':
        case 'r':
        case 'F':
            if (!TakeValue(arguments, i, value)) {
                error = "option -" + std::string(1, letter) + " needs a value";
                return std::nullopt;
            }
            (letter == 'F' ? options.fullName : options.sender) = value;
            break;
        case 'o':
            // -oi is -i; -odi, -odb, -oem and the rest of sendmail's -o options change
            // nothing here: the relay queues and reports on its own.
            if (argument == "-oi") options.dotEndsInput = false;
            break;
        case 'B': // the body type: the text goes through unchanged either way
        case 'v':
        case 'm':
            break;
        case 'b':
            if (argument == "-bp") {
                options.mode = Options::Mode::ListQueue;
            } else if (argument != "-bm") {
                error = "unsupported mode " + argument;
                return std::nullopt;
            }
            break;
        default:
            error = "unknown option " + argument;
            return std::nullopt;
        }
    }
    options.recipients.assign(arguments.begin() + static_cast<long>(i), arguments.end());
    return options;
}

} // namespace sendmail
