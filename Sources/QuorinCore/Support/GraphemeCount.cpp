#include "QuorinCore/Support/GraphemeCount.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

namespace quorin {

namespace {

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char byte) { return static_cast<unsigned char>(byte) < 0x80; });
}

// Among ASCII characters the segmentation rules join only CR followed by LF; every other
// character is a cluster of its own. Most paths are ASCII, so this spares them the Unicode library.
std::size_t asciiClusterCount(std::string_view text) {
    std::size_t count = text.size();
    for (std::size_t index = 1; index < text.size(); ++index) {
        if (text[index - 1] == '\r' && text[index] == '\n') {
            --count;
        }
    }
    return count;
}

}  // namespace

// The Unicode library's character break iterator and the text it is set to, which it reads in
// place and so must outlive its use.
struct GraphemeCounter::Segmenter {
    std::unique_ptr<icu::BreakIterator> iterator;
    icu::UnicodeString text;

    Segmenter() {
        UErrorCode status = U_ZERO_ERROR;
        iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) {
            throw std::runtime_error(
                std::string("The grapheme cluster rules of the Unicode library are unavailable: ") +
                u_errorName(status) + ".");
        }
    }

    std::size_t count(std::string_view utf8) {
        // The Unicode library measures text with 32-bit signed lengths.
        if (utf8.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            throw std::length_error("Text of " + std::to_string(utf8.size()) +
                                    " bytes is too long to count its grapheme clusters.");
        }
        // Converting substitutes U+FFFD for ill-formed sequences.
        text = icu::UnicodeString::fromUTF8(
            icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
        iterator->setText(text);
        std::size_t count = 0;
        while (iterator->next() != icu::BreakIterator::DONE) {
            ++count;
        }
        return count;
    }
};

GraphemeCounter::GraphemeCounter() = default;

GraphemeCounter::~GraphemeCounter() = default;

std::size_t GraphemeCounter::count(std::string_view utf8) {
    if (isASCII(utf8)) {
        return asciiClusterCount(utf8);
    }
    if (!segmenter_) {
        segmenter_ = std::make_unique<Segmenter>();
    }
    return segmenter_->count(utf8);
}

}  // namespace quorin
