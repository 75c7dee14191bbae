#include "QuorinCore/Domain/NormalizedPath.hpp"

#include "QuorinCore/Support/JSONTextWriter.hpp"

#include <algorithm>
#include <vector>

namespace quorin {

namespace {

// An absolute path with no empty, "." or ".." component and no trailing slash (other than the
// root itself), which canonicalizing gives back unchanged.
bool isCanonicalAbsolutePath(std::string_view path) {
    if (!path.starts_with('/')) {
        return false;
    }
    if (path.size() == 1) {
        return true;
    }
    for (std::size_t start = 1;;) {
        const std::size_t end = path.find('/', start);
        const std::string_view component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == "..") {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

}  // namespace

std::string canonicalizeAbsolutePath(std::string_view path) {
    // Most paths are canonical already; they are copied without taking them apart.
    if (isCanonicalAbsolutePath(path)) {
        return std::string(path);
    }
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

NormalizedPath::NormalizedPath(std::string_view path, std::string_view homeDirectory)
    : NormalizedPath(Canonical{}, canonicalForm(path, homeDirectory)) {}

const std::string& NormalizedPath::emptyValue() {
    static const std::string empty;
    return empty;
}

std::size_t NormalizedPath::hash() const noexcept {
    if (!text_) {
        return keyedHash(std::string_view());
    }
    std::size_t hash = text_->hash.load(std::memory_order_relaxed);
    if (hash == 0) {
        hash = std::max<std::size_t>(keyedHash(text_->value), 1);
        text_->hash.store(hash, std::memory_order_relaxed);
    }
    return hash;
}

std::string NormalizedPath::canonicalForm(std::string_view path, std::string_view homeDirectory) {
    const bool expandsHome = path == "~" || path.starts_with("~/");
    // The home directory must itself be absolute: an empty one would otherwise turn "~/x" into
    // "/x", a path at the root the user never named.
    const std::string_view candidate = expandsHome ? homeDirectory : path;
    if (!candidate.starts_with('/')) {
        throw PathNormalizationError(PathNormalizationError::Kind::relativePath);
    }
    if (!expandsHome) {
        return canonicalizeAbsolutePath(path);
    }
    std::string expanded;
    expanded.reserve(homeDirectory.size() + path.size() - 1);
    expanded += homeDirectory;
    expanded += path.substr(1);
    if (!isCanonicalAbsolutePath(expanded)) {
        return canonicalizeAbsolutePath(expanded);
    }
    return expanded;
}

bool NormalizedPath::isEqualToOrDescendant(const NormalizedPath& other) const {
    const std::string& value = this->value();
    const std::string& otherValue = other.value();
    if (*this == other) {
        return true;
    }
    if (otherValue == "/") {
        return value.starts_with('/');
    }
    return value.size() > otherValue.size() && value.starts_with(otherValue) &&
           value[otherValue.size()] == '/';
}

template <class Encoder>
void NormalizedPath::encodeMembers(Encoder& encoder) const {
    encoder.encode("value", value());
}

template void NormalizedPath::encodeMembers(JSONObjectEncoder&) const;
template void NormalizedPath::encodeMembers(JSONTextObjectEncoder&) const;

Json NormalizedPath::toJSON() const {
    JSONObjectEncoder encoder;
    encodeMembers(encoder);
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
