#include "QuorinCore/Protection/ExecutionFileVersion.hpp"

namespace quorin {

Json ExecutionFileVersion::toJSON() const {
    JSONObjectEncoder encoder;
    encoder.encode("device", device);
    encoder.encode("inode", inode);
    encoder.encode("size", size);
    encoder.encode("modifiedSeconds", modifiedSeconds);
    encoder.encode("modifiedNanoseconds", modifiedNanoseconds);
    encoder.encode("changedSeconds", changedSeconds);
    encoder.encode("changedNanoseconds", changedNanoseconds);
    return std::move(encoder).finish();
}

ExecutionFileVersion ExecutionFileVersion::fromJSON(const JSONValueDecoder& decoder) {
    const JSONObjectDecoder object = decoder.object();
    return ExecutionFileVersion{
        .device = object.decode<std::int64_t>("device"),
        .inode = object.decode<std::uint64_t>("inode"),
        .size = object.decode<std::int64_t>("size"),
        .modifiedSeconds = object.decode<std::int64_t>("modifiedSeconds"),
        .modifiedNanoseconds = object.decode<std::int64_t>("modifiedNanoseconds"),
        .changedSeconds = object.decode<std::int64_t>("changedSeconds"),
        .changedNanoseconds = object.decode<std::int64_t>("changedNanoseconds"),
    };
}

ExecutionFileVersion fileVersion(const struct stat& status) {
    return ExecutionFileVersion{static_cast<std::int64_t>(status.st_dev),
                                static_cast<std::uint64_t>(status.st_ino),
                                static_cast<std::int64_t>(status.st_size),
                                static_cast<std::int64_t>(status.st_mtim.tv_sec),
                                static_cast<std::int64_t>(status.st_mtim.tv_nsec),
                                static_cast<std::int64_t>(status.st_ctim.tv_sec),
                                static_cast<std::int64_t>(status.st_ctim.tv_nsec)};
}

}  // namespace quorin
