#include "quorin/CommandOutput.hpp"

namespace quorin::cli {

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
