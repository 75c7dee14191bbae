// Arbitrary bytes for the duplicate-key validator. It must accept them or throw its own error, and
// never crash, hang, leak or read out of bounds. Whatever it accepts must be JSON that a
// conforming parser accepts too.

#include "QuorinCore/Replay/JSONDuplicateKeyValidator.hpp"
#include "QuorinCore/Replay/ReplayFixtureValidationError.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

// Listens to the reference parser only for its errors. The validator does not limit the magnitude
// of numbers, so the reference parser's refusal of a number that overflows a double is no
// disagreement; that one error ends the comparison without a verdict.
class ReferenceVerdict : public nlohmann::json_sax<nlohmann::json> {
  public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }

    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& error) override {
        constexpr int numberOverflow = 406;
        if (error.id != numberOverflow) {
            std::abort();
        }
        return false;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        quorin::JSONDuplicateKeyValidator::validate(bytes);
    } catch (const quorin::ReplayFixtureValidationError&) {
        return 0;
    }
    ReferenceVerdict verdict;
    nlohmann::json::sax_parse(bytes, &verdict);
    return 0;
}
