// The byte-level half of the NTFS reader: fixups, attribute walks, run lists, names, the unnamed
// $DATA attribute and FILETIME texts. Nothing here reads a device.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

#include "common/text.h"
#include "fsrecovery/ntfs/detail/mft_record.h"
#include "fsrecovery/ntfs/ntfs_reader.h"

namespace snapmend::fsrecovery::ntfs {

namespace detail {

namespace {

// Smallest attribute header (resident form); a shorter length cannot be a real attribute and
// would let the walk crawl through the record a few bytes at a time.
constexpr std::uint32_t kMinAttributeLength = 24;
// Attributes start after the fixed record header.
constexpr std::size_t kMinFirstAttribute = 0x18;

// $FILE_NAME value fields.
constexpr std::size_t kFnParent = 0x00;
constexpr std::size_t kFnCreationTime = 0x08;
constexpr std::size_t kFnNameChars = 0x40;
constexpr std::size_t kFnNamespace = 0x41;
constexpr std::size_t kFnName = 0x42;

// $ATTRIBUTE_LIST entry fields; an entry without a name is 0x1A bytes (padded to 0x20).
constexpr std::size_t kAlEntryLength = 4;
constexpr std::size_t kAlNameLength = 6;
constexpr std::size_t kAlReference = 16;
constexpr std::size_t kAlMinEntry = 0x1A;

} // namespace

bool isFileRecord(Bytes record) { return ByteReader(record).matches(0, "FILE"); }

std::uint8_t recordFlags(Bytes record) { return ByteReader(record).le8(kFlagsOffset).value_or(0); }

AttributeWalker::AttributeWalker(Bytes record) : m_reader(record) {
    const auto first = m_reader.le16(kFirstAttributeOffset);
    // The offset is signed; a negative one, or one inside the header, has no attributes after it.
    if (!first || static_cast<std::int16_t>(*first) < static_cast<std::int16_t>(kMinFirstAttribute) ||
        *first >= m_reader.size() - 1) {
        m_done = true;
        return;
    }
    m_pos = *first;
}

std::optional<Attribute> AttributeWalker::next() {
    if (m_done) return std::nullopt;
    m_done = true;
    const auto type = m_reader.le32(m_pos);
    const auto length = m_reader.le32(m_pos + 4);
    if (!type || !length || *type == kTypeEnd || *type == 0) return std::nullopt;
    if (*length < kMinAttributeLength || !m_reader.has(m_pos, *length)) return std::nullopt;
    Attribute a;
    a.offset = m_pos;
    a.type = *type;
    a.length = *length;
    a.nonResident = *m_reader.le8(m_pos + 8);
    a.nameLength = *m_reader.le8(m_pos + 9);
    m_pos += *length;
    m_done = false;
    return a;
}

std::optional<ResidentValue> residentValue(Bytes record, const Attribute& attr) {
    if (attr.nonResident != 0) return std::nullopt;
    const ByteReader r(record);
    const auto length = r.le32(attr.offset + 16);
    const auto offset = r.le16(attr.offset + 20);
    if (!length || !offset || *offset > attr.length || *length > attr.length - *offset) return std::nullopt;
    return ResidentValue{attr.offset + *offset, *length};
}

std::optional<FileNameValue> findFileName(Bytes record, std::uint8_t ns) {
    const ByteReader r(record);
    AttributeWalker walk(record);
    while (const auto a = walk.next()) {
        if (a->type != kTypeFileName || a->nameLength != 0) continue;
        const auto value = residentValue(record, *a);
        if (!value || value->length < kFnName) continue;
        const std::uint8_t chars = *r.le8(value->offset + kFnNameChars);
        if (*r.le8(value->offset + kFnNamespace) != ns) continue;
        if (kFnName + 2u * chars > value->length) continue;
        FileNameValue fn;
        fn.offset = value->offset;
        fn.parent = *r.le32(value->offset + kFnParent);
        fn.creationTime = *r.le64(value->offset + kFnCreationTime);
        fn.nameChars = chars;
        return fn;
    }
    return std::nullopt;
}

std::u16string fileNameUnits(Bytes record, const FileNameValue& fn) {
    const ByteReader r(record);
    std::u16string units;
    units.reserve(fn.nameChars);
    for (std::size_t i = 0; i < fn.nameChars; ++i)
        units.push_back(static_cast<char16_t>(*r.le16(fn.offset + kFnName + 2 * i)));
    return units;
}

std::vector<std::uint64_t> attributeListRecords(Bytes record, std::uint64_t self, bool dataOnly) {
    std::vector<std::uint64_t> records;
    const ByteReader r(record);
    AttributeWalker walk(record);
    while (const auto a = walk.next()) {
        if (a->type != kTypeAttributeList) continue;
        // A non-resident list (only for huge fragmented files) is not followed.
        const auto value = residentValue(record, *a);
        if (!value) break;
        std::size_t pos = value->offset;
        const std::size_t end = value->offset + value->length;
        while (end - pos >= kAlMinEntry) {
            const std::uint16_t entryLength = *r.le16(pos + kAlEntryLength);
            if (entryLength < kAlMinEntry || entryLength > end - pos) break;
            const bool wanted =
                !dataOnly || (*r.le32(pos) == kTypeData && *r.le8(pos + kAlNameLength) == 0);
            const std::uint64_t ref = *r.le32(pos + kAlReference);
            if (wanted && ref != self && std::find(records.begin(), records.end(), ref) == records.end())
                records.push_back(ref);
            pos += entryLength;
        }
        break;
    }
    return records;
}

} // namespace detail

bool ApplyFixups(std::span<std::byte> record, const std::atomic<bool>* cancel) {
    const ByteReader r(record);
    const auto arrayOffset = r.le16(4);
    const auto count = r.le16(6);
    if (!arrayOffset || !count || *count < 2) return false;
    const std::size_t sectors = *count - 1u;
    // The array (sequence number plus one entry per sector) and every sector it patches must lie
    // inside the record, so nothing outside it is read or written.
    if (!r.has(*arrayOffset, 2u * (sectors + 1)) || sectors * 512 > record.size()) return false;
    for (std::size_t i = 0; i < sectors; ++i) {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return false;
        const std::size_t from = *arrayOffset + 2 + 2 * i;
        const std::size_t to = 510 + 512 * i;
        record[to] = record[from];
        record[to + 1] = record[from + 1];
    }
    return true;
}

namespace {

std::uint64_t readUnsigned(Bytes bytes, std::size_t pos, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = size; i-- > 0;) v = (v << 8) | u8(bytes[pos + i]);
    return v;
}

// A field of 1..8 bytes whose top bit is the sign.
std::int64_t readSigned(Bytes bytes, std::size_t pos, std::size_t size) {
    std::uint64_t v = readUnsigned(bytes, pos, size);
    if (size < 8 && (u8(bytes[pos + size - 1]) & 0x80) != 0) v |= ~std::uint64_t{0} << (8 * size);
    return static_cast<std::int64_t>(v);
}

bool mulOverflows(std::uint64_t a, std::uint64_t b) { return b != 0 && a > kNoVolumeEnd / b; }

} // namespace

std::vector<Run> DecodeRunList(Bytes bytes, std::size_t start, std::size_t last, std::uint64_t baseSector,
                               std::uint32_t SPC, std::uint64_t volumeEndSector) {
    std::vector<Run> runs;
    if (SPC == 0) return runs;
    const std::size_t end = std::min(last, bytes.size());
    std::size_t pos = start;
    std::int64_t reference = 0;  // cluster of the last non-sparse run
    bool haveReference = false;
    // Every run takes at least two bytes of a bounded span, so the loop is bounded too.
    while (pos < end) {
        const std::uint8_t header = u8(bytes[pos]);
        if (header == 0) break;
        const std::size_t lengthSize = header & 0x0F;
        const std::size_t offsetSize = header >> 4;
        if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8 || end - pos - 1 < lengthSize + offsetSize) break;
        const std::uint64_t clusters = readUnsigned(bytes, pos + 1, lengthSize);
        if (clusters == 0 || mulOverflows(clusters, SPC)) break;
        Run run{0, clusters * SPC};
        if (offsetSize != 0) {
            const std::int64_t delta = readSigned(bytes, pos + 1 + lengthSize, offsetSize);
            std::int64_t cluster = 0;
            if (haveReference && __builtin_add_overflow(reference, delta, &cluster)) break;
            if (!haveReference) cluster = delta;
            // A run before the volume's first cluster lies outside the volume: cut here.
            if (cluster < 0) break;
            const auto c = static_cast<std::uint64_t>(cluster);
            if (mulOverflows(c, SPC) || c * SPC > kNoVolumeEnd - baseSector) break;
            run.start = baseSector + c * SPC;
            // Cluster 0 is the boot sector, never data; start 0 would also read as sparse.
            if (run.start == 0) break;
            if (run.start >= volumeEndSector) break;
            reference = cluster;
            haveReference = true;
        }
        pos += 1 + lengthSize + offsetSize;
        if (run.start != 0 && run.length > volumeEndSector - run.start) {
            run.length = volumeEndSector - run.start;
            runs.push_back(run);
            break;
        }
        runs.push_back(run);
    }
    return runs;
}

std::uint64_t MftRecordSector(const MftRunList& runs, std::uint64_t record) {
    if (record > kNoVolumeEnd / kRecordSectors) return 0;
    const std::uint64_t target = record * kRecordSectors;
    std::uint64_t before = 0;
    for (const MftRun& run : runs) {
        if (target - before < run.length) return run.start == 0 ? 0 : run.start + (target - before);
        before += run.length;
        if (before > target) return 0;  // lengths that wrapped around
    }
    return 0;
}

FileNameInfo ReadRecordName(std::span<const std::byte> record1024, std::uint8_t ns, bool decodeFileNames,
                            const std::atomic<bool>* cancel) {
    const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(std::memory_order_relaxed); };
    FileNameInfo info;
    if (cancelled()) return info;
    const auto fn = detail::findFileName(record1024, ns);
    if (!fn) return info;
    info.found = true;
    info.parent = fn->parent;
    const std::uint8_t flags = detail::recordFlags(record1024);
    const bool directory = flags == 2 || flags == 3;
    if (!directory && !decodeFileNames) return info;

    std::u16string units = detail::fileNameUnits(record1024, *fn);
    std::size_t kept = 0;
    for (; kept < units.size() && !cancelled(); ++kept) {
        // Control characters would break the list and saved names: show them as spaces.
        if (units[kept] < 0x20) units[kept] = u' ';
    }
    units.resize(kept);
    std::string name = trim(utf16ToUtf8(units));
    if (!name.empty()) {
        std::erase_if(name, [](char c) { return std::string_view("\"\\/?*<>|:").find(c) != std::string_view::npos; });
        name = trim(name);
    }
    info.name = std::move(name);
    info.creationTime = fn->creationTime;
    return info;
}

DataAttribute findUnnamedData(std::span<const std::byte> record1024) {
    DataAttribute data;
    const ByteReader r(record1024);
    detail::AttributeWalker walk(record1024);
    while (const auto a = walk.next()) {
        if (a->type != detail::kTypeData || a->nameLength != 0) continue;
        data.offset = a->offset;
        data.length = a->length;
        if (a->nonResident == 0) {
            // The value length is kept even when the content does not fit; saving checks the fit.
            data.valueOffset = a->offset + *r.le16(a->offset + 20);
            data.valueLength = *r.le32(a->offset + 16);
            data.found = true;
            data.resident = true;
        } else if (a->nonResident == 1) {
            // Non-resident header: run-list offset at +0x20, real size at +0x30 (0x40 bytes).
            const auto runList = r.le16(a->offset + 0x20);
            const auto realSize = r.le64(a->offset + 0x30);
            if (!runList || !realSize || a->length < 0x40 || *runList > a->length) return data;
            data.runListStart = a->offset + *runList;
            data.runListEnd = a->offset + a->length;
            data.realSize = *realSize;
            data.found = true;
        }
        return data;
    }
    return data;
}

std::uint64_t dataSize(const DataAttribute& data) {
    if (!data.found) return 0;
    return data.resident ? data.valueLength : data.realSize;
}

std::uint64_t dataSize(std::span<const std::byte> record1024) { return dataSize(findUnnamedData(record1024)); }

namespace {

constexpr std::array<std::string_view, 12> kMonths = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                      "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kDaysFrom1601To1970 = 134774;

struct CivilTime {
    bool valid = false;
    std::int64_t year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// FILETIME (100 ns ticks since 1601-01-01, taken as is) to calendar fields; days to a
// proleptic Gregorian date after H. Hinnant's civil_from_days.
CivilTime civilFromFiletime(std::uint64_t filetime) {
    CivilTime t;
    // Values with the top bit set do not convert on the platform either.
    if (filetime >> 63) return t;
    const std::uint64_t seconds = filetime / kTicksPerSecond;
    const std::uint64_t secondOfDay = seconds % 86400;
    t.hour = static_cast<unsigned>(secondOfDay / 3600);
    t.minute = static_cast<unsigned>(secondOfDay / 60 % 60);
    t.second = static_cast<unsigned>(secondOfDay % 60);
    const std::int64_t z = static_cast<std::int64_t>(seconds / 86400) - kDaysFrom1601To1970 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<std::uint64_t>(z - era * 146097);
    const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::uint64_t mp = (5 * doy + 2) / 153;
    t.day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<std::int64_t>(yoe) + era * 400 + (t.month <= 2 ? 1 : 0);
    t.valid = true;
    return t;
}

} // namespace

std::string NtfsDateText(std::uint64_t filetime) {
    const CivilTime t = civilFromFiletime(filetime);
    if (!t.valid) return "00-ERR-0";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u-%s-%lld", t.day, kMonths[t.month - 1].data(),
                  static_cast<long long>(t.year));
    return buf;
}

std::string NtfsTimeText(std::uint64_t filetime) {
    const CivilTime t = civilFromFiletime(filetime);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", t.hour, t.minute, t.second);
    return buf;
}

} // namespace snapmend::fsrecovery::ntfs
