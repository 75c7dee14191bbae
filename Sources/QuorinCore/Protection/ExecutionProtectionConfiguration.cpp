#include "QuorinCore/Protection/ExecutionProtectionConfiguration.hpp"

namespace quorin {

Json ExecutionProtectionConfiguration::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("enabled", enabled);
    encoder.encode("executableRoots", executableRoots);
    encoder.encode("executableAliases", executableAliases);
    encoder.encode("baseline", baseline);
    encoder.encode("references", references);
    return std::move(encoder).finish();
}

ExecutionProtectionConfiguration ExecutionProtectionConfiguration::fromJSON(
    const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ExecutionProtectionConfiguration{
        .enabled = object.decode<bool>("enabled"),
        .executableRoots = object.decode<std::vector<std::string>>("executableRoots"),
        .executableAliases = object.decode<std::map<std::string, std::string>>("executableAliases"),
        .baseline = object.decode<std::map<std::string, ExecutionFileVersion>>("baseline"),
        .references = object.decode<std::map<std::string, Date>>("references"),
    };
}

}  // namespace quorin
