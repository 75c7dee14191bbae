// Arbitrary bytes as text to redact for a fixed home directory. Redaction must not crash, hang or
// throw. Checked beyond that: the result is well-formed UTF-8 (ill-formed input is read with
// U+FFFD, and every replacement is text), redacting in one call is the home-directory stage
// followed by the secret stage, and the pieces a diff compares cut the text only at line feeds:
// in order, each right after the line feed that ends the one before, together all of the text.

#include "QuorinCore/Export/SecretRedactor.hpp"
#include "QuorinCore/Export/ValidatedHomeDirectory.hpp"

#include <unicode/unistr.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Reading replaces each ill-formed sequence, so only well-formed UTF-8 reads back unchanged.
bool isUTF8(const std::string& text) {
    std::string readBack;
    icu::UnicodeString::fromUTF8(text).toUTF8String(readBack);
    return readBack == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const quorin::ValidatedHomeDirectory home =
        quorin::ValidatedHomeDirectory::validating("/home/ana");
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const quorin::SecretRedactor redactor;

    const std::string redacted = redactor.redact(text, home);
    check(isUTF8(redacted));
    check(redacted == redactor.redactingSecrets(redactor.redactingHomeDirectory(text, home)));

    std::size_t next = 0;  // where the next piece begins
    for (const std::string_view piece :
         quorin::SecretRedactor::linesKeepingPrivateKeysWhole(text)) {
        check(piece.data() == text.data() + next);
        next += piece.size();
        check(next == text.size() || text[next] == '\n');
        ++next;
    }
    check(next == text.size() || next == text.size() + 1);
    return 0;
}
