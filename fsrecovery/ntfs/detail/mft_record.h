// Bounded walks over one MFT record, shared by the NTFS reader's files: the attribute list of the
// record, a $FILE_NAME of a given namespace, and the records an $ATTRIBUTE_LIST names.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"

namespace snapmend::fsrecovery::ntfs::detail {

// Record header fields.
inline constexpr std::size_t kFirstAttributeOffset = 0x14;
inline constexpr std::size_t kFlagsOffset = 0x16;
inline constexpr std::size_t kBaseReferenceOffset = 0x20;

inline constexpr std::uint32_t kTypeAttributeList = 0x20;
inline constexpr std::uint32_t kTypeFileName = 0x30;
inline constexpr std::uint32_t kTypeData = 0x80;
inline constexpr std::uint32_t kTypeEnd = 0xFFFFFFFF;

bool isFileRecord(Bytes record);
std::uint8_t recordFlags(Bytes record);

// One attribute header, already checked to lie inside the record.
struct Attribute {
    std::size_t offset = 0;
    std::uint32_t type = 0;
    std::uint32_t length = 0;
    std::uint8_t nonResident = 0;
    std::uint8_t nameLength = 0;
};

// Steps through the attributes from the first-attribute offset. The walk ends at an end marker,
// a type of 0, an offset outside the record, or a length too small to hold a header or running
// past the record; every step advances, so a record of 1024 bytes has at most 43 attributes.
class AttributeWalker {
public:
    explicit AttributeWalker(Bytes record);
    std::optional<Attribute> next();

private:
    ByteReader m_reader;
    std::size_t m_pos = 0;
    bool m_done = false;
};

// A resident attribute's value as [offset, offset + length) within the record, when it fits
// inside the attribute.
struct ResidentValue {
    std::size_t offset = 0;
    std::size_t length = 0;
};
std::optional<ResidentValue> residentValue(Bytes record, const Attribute& attr);

// The unnamed, resident $FILE_NAME of namespace ns whose name lies inside its value.
struct FileNameValue {
    std::size_t offset = 0;  // of the value within the record
    std::uint32_t parent = 0;
    std::uint64_t creationTime = 0;
    std::uint8_t nameChars = 0;
};
std::optional<FileNameValue> findFileName(Bytes record, std::uint8_t ns);

// The name of a found $FILE_NAME, code unit by code unit.
std::u16string fileNameUnits(Bytes record, const FileNameValue& fn);

// Record numbers named by the record's resident $ATTRIBUTE_LIST (low 32 bits of each entry's
// reference), in list order, each once, without the record itself. With dataOnly, only entries
// of unnamed $DATA extents count.
std::vector<std::uint64_t> attributeListRecords(Bytes record, std::uint64_t self, bool dataOnly);

} // namespace snapmend::fsrecovery::ntfs::detail
