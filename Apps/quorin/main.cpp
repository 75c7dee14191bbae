// The command-line client.

#include "QuorinCore/QuorinCoreVersion.hpp"

#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    CLI::App app{"Quorin: file-change attribution, execution protection and incident analysis."};
    app.set_version_flag("--version", std::string(quorin::QuorinCoreVersion::current));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        // CLI11 reports success for --version and --help; everything else is bad usage.
        return status == 0 ? 0 : 2;
    }
    return 0;
}
