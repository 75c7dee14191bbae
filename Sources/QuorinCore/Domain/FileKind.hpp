#pragma once

#include "QuorinCore/Support/Enumeration.hpp"

#include <array>
#include <string_view>
#include <utility>

namespace quorin {

/// What kind of file-system object a file is.
enum class FileKind {
    regularFile,
    directory,
    symbolicLink,
    other,
};

template <>
struct EnumerationTexts<FileKind> {
    static constexpr std::string_view typeName = "FileKind";
    static constexpr std::array cases{
        std::pair{FileKind::regularFile, std::string_view("regularFile")},
        std::pair{FileKind::directory, std::string_view("directory")},
        std::pair{FileKind::symbolicLink, std::string_view("symbolicLink")},
        std::pair{FileKind::other, std::string_view("other")},
    };
};

}  // namespace quorin
