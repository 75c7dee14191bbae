#include "QuorinCore/Domain/NormalizedPath.hpp"

#include <vector>

namespace quorin {

std::string canonicalizeAbsolutePath(std::string_view path) {
    std::vector<std::string_view> components;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view component = path.substr(start, end - start);
        if (component == "..") {
            if (!components.empty()) {
                components.pop_back();
            }
        } else if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        start = end + 1;
    }
    if (components.empty()) {
        return "/";
    }
    std::string result;
    result.reserve(path.size());
    for (const std::string_view component : components) {
        result += '/';
        result += component;
    }
    return result;
}

NormalizedPath::NormalizedPath(std::string_view path, std::string_view homeDirectory) {
    const bool expandsHome = path == "~" || path.starts_with("~/");
    // The home directory must itself be absolute: an empty one would otherwise turn "~/x" into
    // "/x", a path at the root the user never named.
    const std::string_view candidate = expandsHome ? homeDirectory : path;
    if (!candidate.starts_with('/')) {
        throw PathNormalizationError(PathNormalizationError::Kind::relativePath);
    }
    value_ = expandsHome ? canonicalizeAbsolutePath(std::string(homeDirectory) +
                                                    std::string(path.substr(1)))
                         : canonicalizeAbsolutePath(path);
}

bool NormalizedPath::isEqualToOrDescendant(const NormalizedPath& other) const {
    if (value_ == other.value_) {
        return true;
    }
    if (other.value_ == "/") {
        return value_.starts_with('/');
    }
    return value_.size() > other.value_.size() && value_.starts_with(other.value_) &&
           value_[other.value_.size()] == '/';
}

Json NormalizedPath::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("value", value_);
    return std::move(encoder).finish();
}

NormalizedPath NormalizedPath::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    auto value = object.decode<std::string>("value");
    if (!value.starts_with('/')) {
        object.dataCorrupted("value", "NormalizedPath requires an absolute path.");
    }
    if (canonicalizeAbsolutePath(value) != value) {
        object.dataCorrupted("value", "NormalizedPath requires a canonical path.");
    }
    return NormalizedPath(Canonical{}, std::move(value));
}

}  // namespace quorin
