#include "QuorinCore/Domain/LexicalPath.hpp"

#include "QuorinCore/Domain/NormalizedPath.hpp"

namespace quorin {

std::string LexicalPath::resolve(std::string_view linkTarget, std::string_view linkDirectory) {
    if (linkTarget.starts_with('/')) {
        return canonicalizeAbsolutePath(linkTarget);
    }
    // Resolution treats a relative directory as if it began at the root.
    return canonicalizeAbsolutePath(std::string(linkDirectory) + "/" + std::string(linkTarget));
}

}  // namespace quorin
