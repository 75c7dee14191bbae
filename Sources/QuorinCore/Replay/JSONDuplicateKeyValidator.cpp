#include "QuorinCore/Replay/JSONDuplicateKeyValidator.hpp"

#include "QuorinCore/Replay/ReplayFixtureLimits.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"
#include "QuorinCore/Support/KeyedHash.hpp"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unicode/utypes.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin {

namespace {

using Error = ReplayFixtureValidationError;

constexpr auto maximumValues = static_cast<std::size_t>(ReplayFixtureLimits::maximumJSONValues);
constexpr auto maximumMembers =
    static_cast<std::size_t>(ReplayFixtureLimits::maximumJSONObjectMembers);
constexpr auto maximumDepth =
    static_cast<std::size_t>(ReplayFixtureLimits::maximumJSONNestingDepth);

// Bytes that end a run of ordinary string content: the closing quote, an escape, a control byte,
// or the start of a multi-byte sequence that must be checked.
constexpr std::array<bool, 256> stringSpecialBytes = [] {
    std::array<bool, 256> table{};
    for (std::size_t byte = 0; byte < table.size(); ++byte) {
        table[byte] = byte < 0x20 || byte == '"' || byte == '\\' || byte >= 0x80;
    }
    return table;
}();

bool isWhitespace(unsigned char byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

bool isDigit(unsigned char byte) {
    return byte >= '0' && byte <= '9';
}

int hexValue(unsigned char byte) {
    if (isDigit(byte)) {
        return byte - '0';
    }
    if (byte >= 'a' && byte <= 'f') {
        return byte - 'a' + 10;
    }
    if (byte >= 'A' && byte <= 'F') {
        return byte - 'A' + 10;
    }
    return -1;
}

void appendUTF8(std::string& text, char32_t scalar) {
    if (scalar < 0x80) {
        text += static_cast<char>(scalar);
    } else if (scalar < 0x800) {
        text += static_cast<char>(0xC0 | (scalar >> 6));
        text += static_cast<char>(0x80 | (scalar & 0x3F));
    } else if (scalar < 0x10000) {
        text += static_cast<char>(0xE0 | (scalar >> 12));
        text += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (scalar & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (scalar >> 18));
        text += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (scalar & 0x3F));
    }
}

// One step of the way from the root to the value being read. Frames live on the reader's call
// stack, so locating a value costs nothing until an error needs its path as text.
struct PathFrame {
    const PathFrame* parent = nullptr;  // none for the root
    std::string_view key;               // a member's key as decoded
    std::size_t index = 0;              // an array element's position
    bool isElement = false;
};

// Keys made only of letters, numbers and "_" read as ".key"; an empty key gives "." too.
bool isPlainKey(std::string_view key) {
    std::size_t index = 0;
    while (index < key.size()) {
        UChar32 scalar = 0;
        U8_NEXT_UNSAFE(key.data(), index, scalar);
        if (scalar != '_' && (U_GET_GC_MASK(scalar) & (U_GC_L_MASK | U_GC_N_MASK)) == 0) {
            return false;
        }
    }
    return true;
}

// The key as a string literal: quotes, backslashes and control characters escaped.
std::string quotedKey(std::string_view key) {
    static constexpr char hexDigits[] = "0123456789ABCDEF";
    std::string quoted = "\"";
    std::size_t index = 0;
    while (index < key.size()) {
        const std::size_t start = index;
        UChar32 scalar = 0;
        U8_NEXT_UNSAFE(key.data(), index, scalar);
        switch (scalar) {
            case '"':
                quoted += "\\\"";
                continue;
            case '\\':
                quoted += "\\\\";
                continue;
            case '\b':
                quoted += "\\b";
                continue;
            case '\f':
                quoted += "\\f";
                continue;
            case '\n':
                quoted += "\\n";
                continue;
            case '\r':
                quoted += "\\r";
                continue;
            case '\t':
                quoted += "\\t";
                continue;
            default:
                break;
        }
        if (u_charType(scalar) == U_CONTROL_CHAR) {
            // Every control character lies in the basic plane, so four digits always suffice.
            quoted += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) {
                quoted += hexDigits[(scalar >> shift) & 0xF];
            }
        } else {
            quoted += key.substr(start, index - start);
        }
    }
    return quoted + "\"";
}

std::string pathText(const PathFrame& frame) {
    if (frame.parent == nullptr) {
        return "$";
    }
    std::string text = pathText(*frame.parent);
    if (frame.isElement) {
        return text + "[" + std::to_string(frame.index) + "]";
    }
    if (isPlainKey(frame.key)) {
        return text + "." + std::string(frame.key);
    }
    return text + "[" + quotedKey(frame.key) + "]";
}

// The keys of one object, stored canonically (NFC) in an open-addressing hash table over a byte
// arena, hashed under the process's secret key so that no text can make its keys collide. Each
// nesting level owns one set and reuses it for every object at that level, so once the buffers have
// grown, reading keys allocates nothing.
class KeySet {
  public:
    void reset() {
        arena_.clear();
        entries_.clear();
        slots_.assign(initialSlotCount, 0);
    }

    /// Adds `key`; false when an equal key is already there.
    bool insert(std::string_view key) {
        if ((entries_.size() + 1) * 2 > slots_.size()) {
            grow();
        }
        const std::size_t hash = keyedHash(key);
        const std::size_t mask = slots_.size() - 1;
        std::size_t slot = hash & mask;
        for (; slots_[slot] != 0; slot = (slot + 1) & mask) {
            const Entry& entry = entries_[slots_[slot] - 1];
            if (entry.hash == hash && text(entry) == key) {
                return false;
            }
        }
        entries_.push_back({arena_.size(), key.size(), hash});
        arena_.append(key);
        slots_[slot] = static_cast<std::uint32_t>(entries_.size());
        return true;
    }

  private:
    // Offsets rather than views: the arena moves when it grows.
    struct Entry {
        std::size_t offset;
        std::size_t length;
        std::size_t hash;
    };

    // Fits the keys of every fixture record without growing.
    static constexpr std::size_t initialSlotCount = 64;

    std::string_view text(const Entry& entry) const {
        return std::string_view(arena_).substr(entry.offset, entry.length);
    }

    void grow() {
        slots_.assign(slots_.size() * 2, 0);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t position = 0; position < entries_.size(); ++position) {
            std::size_t slot = entries_[position].hash & mask;
            while (slots_[slot] != 0) {
                slot = (slot + 1) & mask;
            }
            slots_[slot] = static_cast<std::uint32_t>(position + 1);
        }
    }

    std::string arena_;
    std::vector<Entry> entries_;
    // 0 is free; otherwise an index into `entries_` plus 1.
    std::vector<std::uint32_t> slots_ = std::vector<std::uint32_t>(initialSlotCount, 0);
};

// What one nesting level needs while it reads an object.
struct ObjectScope {
    KeySet keys;
    // The current key when it had escapes; a member's path refers to it while its value is read.
    std::string unescapedKey;
};

// The reader proper: recursive descent over the bytes, standing at `index_`.
class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    void readDocument() {
        skipWhitespace();
        const PathFrame root;
        readValue(root, 0);
        skipWhitespace();
        if (index_ != bytes_.size()) {
            fail(index_);
        }
    }

  private:
    [[noreturn]] static void fail(std::size_t offset) {
        throw Error::malformedJSON(static_cast<std::int64_t>(offset));
    }

    bool atEnd() const { return index_ == bytes_.size(); }
    unsigned char current() const { return static_cast<unsigned char>(bytes_[index_]); }
    bool currentIs(unsigned char byte) const { return !atEnd() && current() == byte; }
    bool currentIsDigit() const { return !atEnd() && isDigit(current()); }

    void skipWhitespace() {
        while (!atEnd() && isWhitespace(current())) {
            ++index_;
        }
    }

    // Consumes one byte that must be `expected`.
    void consume(unsigned char expected) {
        if (atEnd()) {
            fail(index_);
        }
        if (bytes_[index_++] != static_cast<char>(expected)) {
            fail(index_);
        }
    }

    void readValue(const PathFrame& path, std::size_t depth) {
        if (++values_ > maximumValues) {
            throw Error::tooManyJSONValues(ReplayFixtureLimits::maximumJSONValues);
        }
        if (depth > maximumDepth) {
            throw Error::jsonNestingTooDeep(ReplayFixtureLimits::maximumJSONNestingDepth);
        }
        if (atEnd()) {
            fail(index_);
        }
        switch (current()) {
            case '{':
                readObject(path, depth);
                return;
            case '[':
                readArray(path, depth);
                return;
            case '"':
                readString(nullptr);
                return;
            case 't':
                readLiteral("true");
                return;
            case 'f':
                readLiteral("false");
                return;
            case 'n':
                readLiteral("null");
                return;
            default:
                if (current() == '-' || isDigit(current())) {
                    readNumber();
                    return;
                }
                fail(index_);
        }
    }

    void readObject(const PathFrame& path, std::size_t depth) {
        ++index_;
        skipWhitespace();
        if (currentIs('}')) {
            ++index_;
            return;
        }
        ObjectScope& scope = scopeAt(depth);
        scope.keys.reset();
        while (true) {
            if (!currentIs('"')) {
                fail(index_);
            }
            const DecodedString key = readString(&scope.unescapedKey);
            if (++members_ > maximumMembers) {
                throw Error::tooManyJSONObjectMembers(
                    ReplayFixtureLimits::maximumJSONObjectMembers);
            }
            if (!scope.keys.insert(key.isASCII ? key.text : canonicalForm(key.text))) {
                throw Error::duplicateJSONKey(pathText(path), key.text);
            }
            skipWhitespace();
            consume(':');
            skipWhitespace();
            const PathFrame member{.parent = &path, .key = key.text};
            readValue(member, depth + 1);
            skipWhitespace();
            if (currentIs('}')) {
                ++index_;
                return;
            }
            consume(',');
            skipWhitespace();
        }
    }

    void readArray(const PathFrame& path, std::size_t depth) {
        ++index_;
        skipWhitespace();
        if (currentIs(']')) {
            ++index_;
            return;
        }
        for (std::size_t position = 0;; ++position) {
            const PathFrame element{
                .parent = &path, .key = {}, .index = position, .isElement = true};
            readValue(element, depth + 1);
            skipWhitespace();
            if (atEnd()) {
                fail(index_);
            }
            const unsigned char next = current();
            ++index_;
            if (next == ']') {
                return;
            }
            if (next != ',') {
                fail(index_);
            }
            skipWhitespace();
        }
    }

    struct DecodedString {
        std::string_view text;  // empty unless asked for
        bool isASCII;
    };

    // Reads a string from its opening quote. With `unescaped`, the decoded text is returned: a
    // view of the input when there were no escapes, else of `unescaped`. UTF-8 is judged only
    // once the closing quote is reached, so an earlier-positioned fault later in the string wins.
    DecodedString readString(std::string* unescaped) {
        ++index_;
        const std::size_t start = index_;
        std::size_t pending = start;  // first byte not yet copied into `unescaped`
        bool hasEscapes = false;
        bool isASCII = true;
        bool isValidUTF8 = true;
        while (true) {
            while (!atEnd() && !stringSpecialBytes[current()]) {
                ++index_;
            }
            if (atEnd()) {
                fail(index_);
            }
            const unsigned char byte = current();
            if (byte == '"') {
                break;
            }
            if (byte < 0x20) {
                fail(index_ + 1);
            }
            if (byte >= 0x80) {
                isASCII = false;
                const std::size_t length = validSequenceLength();
                isValidUTF8 = isValidUTF8 && length != 0;
                index_ += length == 0 ? 1 : length;
                continue;
            }
            if (unescaped != nullptr) {
                if (!hasEscapes) {
                    unescaped->clear();
                }
                unescaped->append(bytes_.substr(pending, index_ - pending));
            }
            hasEscapes = true;
            ++index_;
            const char32_t scalar = readEscape();
            isASCII = isASCII && scalar < 0x80;
            if (unescaped != nullptr) {
                appendUTF8(*unescaped, scalar);
            }
            pending = index_;
        }
        const std::size_t end = index_;
        ++index_;
        if (!isValidUTF8) {
            fail(index_);
        }
        if (unescaped == nullptr) {
            return {{}, isASCII};
        }
        if (!hasEscapes) {
            return {bytes_.substr(start, end - start), isASCII};
        }
        unescaped->append(bytes_.substr(pending, end - pending));
        return {*unescaped, isASCII};
    }

    // Reads the escape after a backslash and returns the scalar it stands for.
    char32_t readEscape() {
        if (atEnd()) {
            fail(index_);
        }
        const unsigned char letter = current();
        ++index_;
        switch (letter) {
            case '"':
                return U'"';
            case '\\':
                return U'\\';
            case '/':
                return U'/';
            case 'b':
                return U'\b';
            case 'f':
                return U'\f';
            case 'n':
                return U'\n';
            case 'r':
                return U'\r';
            case 't':
                return U'\t';
            case 'u':
                break;
            default:
                fail(index_);
        }
        const char32_t unit = readCodeUnit();
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            fail(index_);
        }
        if (unit < 0xD800 || unit > 0xDBFF) {
            return unit;
        }
        consume('\\');
        consume('u');
        const char32_t low = readCodeUnit();
        if (low < 0xDC00 || low > 0xDFFF) {
            fail(index_);
        }
        return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }

    // Four hexadecimal digits, either case.
    char32_t readCodeUnit() {
        char32_t unit = 0;
        for (int digit = 0; digit < 4; ++digit) {
            if (atEnd()) {
                fail(index_);
            }
            const int value = hexValue(current());
            ++index_;
            if (value < 0) {
                fail(index_);
            }
            unit = (unit << 4) | static_cast<char32_t>(value);
        }
        return unit;
    }

    // The length of the well-formed UTF-8 sequence that starts at the current byte, or 0.
    std::size_t validSequenceLength() const {
        const auto at = [this](std::size_t offset) -> unsigned {
            const std::size_t position = index_ + offset;
            return position < bytes_.size() ? static_cast<unsigned char>(bytes_[position]) : 0U;
        };
        const auto inRange = [](unsigned byte, unsigned low, unsigned high) {
            return byte >= low && byte <= high;
        };
        const unsigned lead = at(0);
        // The second byte's range depends on the lead, which excludes overlong forms,
        // surrogates and scalars beyond U+10FFFF.
        unsigned low = 0x80;
        unsigned high = 0xBF;
        std::size_t length = 0;
        if (inRange(lead, 0xC2, 0xDF)) {
            length = 2;
        } else if (inRange(lead, 0xE0, 0xEF)) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (inRange(lead, 0xF0, 0xF4)) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return 0;
        }
        if (!inRange(at(1), low, high)) {
            return 0;
        }
        for (std::size_t offset = 2; offset < length; ++offset) {
            if (!inRange(at(offset), 0x80, 0xBF)) {
                return 0;
            }
        }
        return length;
    }

    void readNumber() {
        if (currentIs('-')) {
            ++index_;
        }
        if (currentIs('0')) {
            ++index_;
            if (currentIsDigit()) {
                fail(index_);
            }
        } else {
            readDigits();
        }
        if (currentIs('.')) {
            ++index_;
            readDigits();
        }
        if (currentIs('e') || currentIs('E')) {
            ++index_;
            if (currentIs('+') || currentIs('-')) {
                ++index_;
            }
            readDigits();
        }
    }

    // At least one digit.
    void readDigits() {
        if (!currentIsDigit()) {
            fail(index_);
        }
        do {
            ++index_;
        } while (currentIsDigit());
    }

    void readLiteral(std::string_view literal) {
        for (const char byte : literal) {
            consume(static_cast<unsigned char>(byte));
        }
    }

    // Keys of other scripts are compared in their composed (NFC) form, so canonically equivalent
    // spellings collide. ASCII keys are already composed and never come here.
    std::string_view canonicalForm(std::string_view key) {
        if (key.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            throw std::length_error("A JSON key of " + std::to_string(key.size()) +
                                    " bytes is too long to normalize.");
        }
        UErrorCode status = U_ZERO_ERROR;
        if (normalizer_ == nullptr) {
            normalizer_ = icu::Normalizer2::getNFCInstance(status);
            if (U_FAILURE(status)) {
                throw std::runtime_error(
                    std::string("The Unicode normalization data is unavailable: ") +
                    u_errorName(status) + ".");
            }
        }
        const icu::StringPiece piece(key.data(), static_cast<std::int32_t>(key.size()));
        if (normalizer_->isNormalizedUTF8(piece, status) && U_SUCCESS(status)) {
            return key;
        }
        status = U_ZERO_ERROR;
        normalized_.clear();
        icu::StringByteSink<std::string> sink(&normalized_);
        normalizer_->normalizeUTF8(0, piece, sink, nullptr, status);
        if (U_FAILURE(status)) {
            throw std::runtime_error(std::string("Could not normalize a JSON key: ") +
                                     u_errorName(status) + ".");
        }
        return normalized_;
    }

    // A deque, so the scopes of open objects stay where they are when a deeper level is added.
    ObjectScope& scopeAt(std::size_t depth) {
        while (scopes_.size() <= depth) {
            scopes_.emplace_back();
        }
        return scopes_[depth];
    }

    std::string_view bytes_;
    std::size_t index_ = 0;
    std::size_t values_ = 0;   // document-wide
    std::size_t members_ = 0;  // document-wide
    std::deque<ObjectScope> scopes_;
    const icu::Normalizer2* normalizer_ = nullptr;  // owned by ICU, fetched at the first need
    std::string normalized_;
};

}  // namespace

void JSONDuplicateKeyValidator::validate(std::string_view bytes) {
    Reader(bytes).readDocument();
}

}  // namespace quorin
