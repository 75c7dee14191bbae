#pragma once

#include <string>
#include <string_view>

namespace quorin {

/// Lexical path arithmetic that never touches the file system.
struct LexicalPath {
    LexicalPath() = delete;

    /// Where a symbolic link whose text is `linkTarget`, placed in `linkDirectory`, points:
    /// the target alone when absolute, else the directory joined with it; then "." skipped and
    /// ".." popping a component (ignored at the top). The result always begins with "/".
    static std::string resolve(std::string_view linkTarget, std::string_view linkDirectory);
};

}  // namespace quorin
