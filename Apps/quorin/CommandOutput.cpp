#include "quorin/CommandOutput.hpp"

#include <unistd.h>

namespace quorin::cli {

void addColorOption(CLI::App& command, ColorChoice& choice) {
    command
        .add_option_function<std::string>(
            "--color",
            [&choice](const std::string& when) {
                choice = when == "never"    ? ColorChoice::never
                         : when == "always" ? ColorChoice::always
                                            : ColorChoice::automatic;
            },
            "When to colour the output: never, always or auto (default: auto, when standard "
            "output is a terminal and NO_COLOR is unset or empty).")
        ->type_name("WHEN")
        ->check(CLI::Validator(
            [](std::string& when) -> std::string {
                if (when == "never" || when == "always" || when == "auto") {
                    return "";
                }
                return "must be never, always or auto, not \"" + safe(when) + "\"";
            },
            ""));
}

bool colorsOutput(ColorChoice choice, bool outputIsTerminal, const char* noColor) {
    switch (choice) {
        case ColorChoice::never:
            return false;
        case ColorChoice::always:
            return true;
        case ColorChoice::automatic:
            return outputIsTerminal && (noColor == nullptr || *noColor == '\0');
    }
    return false;
}

bool standardOutputIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

std::string styled(std::string_view text, std::string_view sgr, bool color) {
    if (!color) {
        return std::string(text);
    }
    return std::string(sgr) + std::string(text) + std::string(style::reset);
}

int written(std::ostream& out, std::ostream& err, std::string_view text, std::string_view what) {
    out << text;
    out.flush();
    if (!out.good()) {
        err << "Could not write " << what << "\n";
        return 1;
    }
    return 0;
}

}  // namespace quorin::cli
