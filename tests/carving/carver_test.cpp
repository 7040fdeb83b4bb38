#include "carving/carver.h"

#include <gtest/gtest.h>
#include <random>

#include "tests/support/scripted_sink.h"
#include "tests/support/test_media.h"

namespace snapmend::carving {
namespace {

using test::TempDir;
constexpr std::uint64_t kS = 512;

FileType1 rec(const std::string& ext, std::uint64_t maxSize, const std::vector<int>& sig, int offset) {
    FileType1 r;
    r.extension = ext;
    r.maxSizeText = std::to_string(maxSize);
    r.headerOffset = offset;
    for (std::size_t i = 0; i < sig.size(); ++i) r.signature[i] = sig[i];
    r.signatureLength = static_cast<int>(sig.size());
    r.firstByte = sig.empty() ? 0 : sig[0];
    return r;
}

SignatureSet setOf(std::vector<FileType1> records) {
    SignatureSet s;
    for (auto& r : records) s.add(std::move(r));
    return s;
}

const std::vector<int> kJpg = {0xFF, 0xD8, 0xFF};
const std::vector<int> kPng = {0x89, 'P', 'N', 'G'};

void put(const std::filesystem::path& image, std::uint64_t offset, const std::vector<int>& bytes) {
    std::vector<std::byte> b;
    for (int v : bytes) b.push_back(std::byte(v));
    test::writeAt(image, offset, b);
}

// An image of filler bytes that match no signature, so every byte of a carved file can be checked.
void fillerImage(const std::filesystem::path& image, std::uint64_t bytes) {
    std::vector<std::byte> data(bytes);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::byte(0x20 + (i * 7 + i / 512) % 64);
    test::createImage(image, 0);
    test::writeAt(image, 0, data);
}

struct Carved {
    CarveScanResult result;
    std::vector<CarvedFile> files;
};

struct Scanner {
    TempDir dir;
    std::filesystem::path image = dir / "card.img";
    device::DeviceMap devices;
    test::ScriptedSink sink;
    std::size_t windowsPerRead = 16;
    std::size_t readers = 2;
    CarvedFileCreator create;

    Carved carve(const SignatureSet& set, CarveMode mode, std::uint64_t first, std::uint64_t last,
                 std::stop_source stop = {}) {
        if (devices.disks().empty()) {
            EXPECT_TRUE(devices.attachDisk(image.string()));
        }
        CarvedNamer namer(mode);
        CarvedOutputTree out((dir / "out").string(), mode, create);
        Carved c;
        CarveScanRequest req;
        req.devices = &devices;
        req.devicePath = device::DevicePathTable[0];
        req.firstSector = first;
        req.lastSector = last;
        req.mode = mode;
        req.set = &set;
        req.namer = &namer;
        req.output = &out;
        req.windowsPerRead = windowsPerRead;
        req.readers = readers;
        req.closeFile = [&](const CarvedFile& f) { c.files.push_back(f); };
        test::UnchangedGuard guard(image);
        c.result = CarveScan(req, sink, stop.get_token());
        return c;
    }
    std::vector<std::byte> imageBytes(std::uint64_t offset, std::size_t len) { return test::readAt(image, offset, len); }
    std::vector<std::byte> fileBytes(const CarvedFile& f) {
        return test::readAt(f.savedPath, 0, static_cast<std::size_t>(std::filesystem::file_size(f.savedPath)));
    }
};

TEST(CarveScan, FileExtentsFollowHeadersAndMaximumSizes) {
    struct Case {
        const char* what;
        std::uint64_t maxSize;
        int headerOffset;
        std::vector<std::uint64_t> headerSectors;  // JPG headers
        std::vector<std::uint64_t> sizes;          // expected carved sizes, in order
    } cases[] = {
        {"signature at offset 5 starts the file at its sector", 10000000, 5, {1000}, {(4096 - 1000) * kS}},
        {"a header 3 sectors later ends the first file", 10000000, 1, {10, 13}, {1536, (4096 - 13) * kS}},
        {"maximum size cuts back to a window boundary", 300000, 1, {512}, {262144}},
        {"the next header ends a file before any size check", 100000, 1, {512, 512 + 392}, {200704, 61440}},
        {"a file found mid-window keeps only whole windows", 300000, 1, {700}, {(1024 - 700) * kS}},
    };
    for (const auto& c : cases) {
        Scanner s;
        fillerImage(s.image, 4096 * kS);
        for (auto sector : c.headerSectors)
            put(s.image, sector * kS + static_cast<std::uint64_t>(c.headerOffset - 1), kJpg);
        const auto set = setOf({rec(".jpg", c.maxSize, kJpg, c.headerOffset)});
        const auto carved = s.carve(set, CarveMode::Photo, 0, 4095);
        ASSERT_EQ(carved.files.size(), c.sizes.size()) << c.what;
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            const auto& f = carved.files[i];
            EXPECT_EQ(f.bytes, c.sizes[i]) << c.what;
            EXPECT_EQ(f.startSector, c.headerSectors[i]) << c.what;
            EXPECT_EQ(s.fileBytes(f), s.imageBytes(f.startSector * kS, static_cast<std::size_t>(c.sizes[i]))) << c.what;
        }
        EXPECT_EQ(carved.files[0].fileName, "GNDR00001.jpg");
    }
}

TEST(CarveScan, SameSectorMatchesPhotoTakesFirstVideoRawTakeAll) {
    for (const auto mode : {CarveMode::Photo, CarveMode::Raw}) {
        Scanner s;
        fillerImage(s.image, 2048 * kS);
        put(s.image, 100 * kS, {0x49, 0x49, 0x2A, 0x00});
        put(s.image, 300 * kS, {0x49, 0x49, 0x2A, 0x00});
        const auto set = setOf({rec(".NEF", 1 << 30, {0x49, 0x49, 0x2A}, 1), rec(".DNG", 1 << 30, {0x49, 0x49}, 1)});
        const auto carved = s.carve(set, mode, 0, 2047);
        std::vector<std::string> names;
        for (const auto& f : carved.files) names.push_back(f.fileName + "@" + std::to_string(f.startSector) + ":" +
                                                           std::to_string(f.bytes));
        if (mode == CarveMode::Photo)
            EXPECT_EQ(names, (std::vector<std::string>{"GNDR00001.NEF@100:102400", "GNDR00002.NEF@300:894976"}));
        else
            EXPECT_EQ(names, (std::vector<std::string>{"NEF00001.NEF@100:102400", "DNG00001.DNG@100:102400",
                                                       "NEF00002.NEF@300:894976", "DNG00002.DNG@300:894976"}));
    }
}

// Each file ends where the next begins, across windows, reads of every size and any number of
// readers: carved back to back, the files are the medium itself from the first header on.
TEST(CarveScan, FilesTileTheMediumAcrossWindowsAndReads) {
    for (const auto& [perRead, readers] : {std::pair<std::size_t, std::size_t>{1, 1}, {3, 1}, {16, 1}, {1, 3}, {3, 2}}) {
        SCOPED_TRACE(testing::Message() << perRead << " windows per read, " << readers << " readers");
        Scanner s;
        s.windowsPerRead = perRead;
        s.readers = readers;
        std::mt19937 rng(7);
        std::vector<std::byte> data(3 * 1024 * 1024 + 300);  // not a whole number of sectors
        for (auto& b : data) b = std::byte(rng() & 0xFF);
        test::createImage(s.image, 0);
        test::writeAt(s.image, 0, data);
        const auto set = setOf({rec(".bin", 1ull << 40, {0xAB}, 1), rec(".bin", 1ull << 40, {0xCD, 0x01}, 77)});
        const auto carved = s.carve(set, CarveMode::Video, 0, data.size() / kS);
        ASSERT_FALSE(carved.files.empty());
        std::vector<std::byte> joined;
        for (const auto& f : carved.files) {
            const auto bytes = s.fileBytes(f);
            joined.insert(joined.end(), bytes.begin(), bytes.end());
        }
        const std::uint64_t from = carved.files.front().startSector * kS;
        ASSERT_EQ(joined.size(), data.size() - from) << perRead;
        EXPECT_TRUE(std::equal(joined.begin(), joined.end(), data.begin() + static_cast<std::ptrdiff_t>(from)));
    }
}

TEST(CarveScan, NothingPastTheEndOfTheMediumIsCarved) {
    // Three windows read one at a time through two buffers: the last, short window reuses the
    // first one's buffer, whose header at sector 200 must not come back at sector 1224.
    Scanner s;
    s.windowsPerRead = 1;
    fillerImage(s.image, 1100 * kS + 100);
    put(s.image, 200 * kS, kJpg);
    put(s.image, 1050 * kS, kJpg);
    const auto set = setOf({rec(".jpg", 1 << 30, kJpg, 1)});
    const auto carved = s.carve(set, CarveMode::Photo, 0, 2000);  // a range beyond the medium too
    ASSERT_EQ(carved.files.size(), 2u);
    EXPECT_EQ(carved.files[1].startSector, 1050u);
    EXPECT_EQ(carved.files[1].bytes, 50 * kS + 100);
    EXPECT_FALSE(carved.result.stopped);
}

// The buffer past the medium's last byte holds zeros (or an earlier read's bytes): a signature
// that needs any byte there must not match, even one made of zeros.
TEST(CarveScan, SignatureCutByTheEndOfTheMediumDoesNotMatch) {
    struct Case {
        const char* what;
        std::vector<int> sig;
        int headerOffset;
        std::uint64_t mediumBytes;  // the signature is written from the last sector's offset on
        bool found;
    } cases[] = {
        {"whole signature in the last bytes", {0xFF, 0xD8, 0x00}, 1, 1100 * kS + 3, true},
        {"last byte of the signature past the end", {0xFF, 0xD8, 0x00}, 1, 1100 * kS + 2, false},
        {"first byte past the end", {0x00, 0x00}, 5, 1100 * kS + 4, false},
        {"at a later offset, whole", {0x00, 0x00}, 5, 1100 * kS + 6, true},
    };
    for (const auto& c : cases) {
        for (const std::size_t perRead : {1, 16}) {
            Scanner s;
            s.windowsPerRead = perRead;
            fillerImage(s.image, c.mediumBytes);
            // Window 0 holds the same signature at the same place, so a reused buffer would hold it too.
            std::vector<int> head(c.sig);
            put(s.image, 76 * kS + static_cast<std::uint64_t>(c.headerOffset - 1), head);
            const std::uint64_t at = 1100 * kS + static_cast<std::uint64_t>(c.headerOffset - 1);
            for (std::size_t i = 0; i < c.sig.size() && at + i < c.mediumBytes; ++i)
                put(s.image, at + i, {c.sig[i]});
            const auto carved = s.carve(setOf({rec(".x", 1ull << 40, c.sig, c.headerOffset)}), CarveMode::Raw, 0, 4095);
            ASSERT_FALSE(carved.files.empty()) << c.what;
            EXPECT_EQ(carved.files.front().startSector, 76u) << c.what;
            EXPECT_EQ(carved.files.back().startSector == 1100, c.found) << c.what << " perRead " << perRead;
        }
    }
}

TEST(CarveScan, SignatureCrossingIntoTheNextWindowIsFound) {
    for (const std::size_t perRead : {1, 16}) {
        Scanner s;
        s.windowsPerRead = perRead;
        fillerImage(s.image, 2048 * kS);
        // Header offset 510 with a 6-byte signature: the signature of the window's last sector
        // ends in the next window.
        const std::vector<int> sig = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
        put(s.image, 511 * kS + 509, sig);
        const auto carved = s.carve(setOf({rec(".x", 1 << 30, sig, 510)}), CarveMode::Raw, 0, 2047);
        ASSERT_EQ(carved.files.size(), 1u) << perRead;
        EXPECT_EQ(carved.files[0].startSector, 511u);
    }
}

TEST(CarveScan, StopKeepsWhatPreviousWindowsGave) {
    Scanner s;
    fillerImage(s.image, 8192 * kS);
    put(s.image, 10 * kS, kJpg);
    std::stop_source stop;
    // Stop is pressed while the first window's bytes are being written.
    s.create = [&](const std::string& path) {
        stop.request_stop();
        return createExclusive(path);
    };
    const auto carved = s.carve(setOf({rec(".jpg", 1 << 30, kJpg, 1)}), CarveMode::Photo, 0, 8191, stop);
    EXPECT_TRUE(carved.result.stopped);
    ASSERT_EQ(carved.files.size(), 1u);
    EXPECT_EQ(carved.files[0].bytes, (512 - 10) * kS);
    EXPECT_EQ(s.fileBytes(carved.files[0]), s.imageBytes(10 * kS, (512 - 10) * kS));
}

class FailingOutput final : public saving::OutputFile {
public:
    explicit FailingOutput(std::uint64_t& room) : m_room(room) {}
    int write(std::span<const std::byte> data, std::size_t& written) override {
        written = static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), m_room));
        m_room -= written;
        return written < data.size() ? ENOSPC : 0;
    }
    int close() override { return 0; }

private:
    std::uint64_t& m_room;
};

TEST(CarveScan, FullDestinationStopsWithTheMessageAndKeepsWhatWasWritten) {
    Scanner s;
    fillerImage(s.image, 4096 * kS);
    for (std::uint64_t sector : {10, 20, 2000}) put(s.image, sector * kS, kJpg);
    std::uint64_t room = 300000;
    std::vector<std::string> created;
    s.create = [&](const std::string& path) {
        created.push_back(path);
        return saving::OpenedOutput{std::make_unique<FailingOutput>(room), 0};
    };
    const auto carved = s.carve(setOf({rec(".jpg", 1 << 30, kJpg, 1)}), CarveMode::Photo, 0, 4095);
    EXPECT_TRUE(carved.result.stopped);
    EXPECT_TRUE(carved.result.destinationFailed);
    ASSERT_EQ(carved.files.size(), 2u);
    EXPECT_EQ(carved.files[0].bytes, 10 * kS);
    EXPECT_EQ(carved.files[1].bytes, 300000 - 10 * kS);
    EXPECT_EQ(created.size(), 2u);  // the third header is never reached
    ASSERT_EQ(s.sink.messages.size(), 1u);
    EXPECT_EQ(s.sink.messages[0].text.rfind(std::string(saving::kDiskFullMessage), 0), 0u);
}

TEST(CarveScan, DeviceThatDoesNotOpenAsksAndGivesUp) {
    struct Case {
        std::deque<Answer> answers;
        std::size_t questions;
    } cases[] = {
        {{Answer::No}, 1},                           // Cancel Searching
        {{Answer::Yes, Answer::No, Answer::No}, 3},  // one Retry, then Cancel
        {{Answer::Yes, Answer::Yes}, 2},             // Retry for the rest: bounded, no more questions
    };
    for (const auto& c : cases) {
        device::DeviceMap devices;
        test::ScriptedSink sink;
        sink.answers = c.answers;
        TempDir dir;
        const auto set = setOf({rec(".jpg", 100, kJpg, 1)});
        CarvedNamer namer(CarveMode::Photo);
        CarvedOutputTree out(dir.path().string(), CarveMode::Photo);
        CarveScanRequest req;
        req.devices = &devices;
        req.devicePath = device::DevicePathTable[3];
        req.lastSector = 100;
        req.set = &set;
        req.namer = &namer;
        req.output = &out;
        const auto result = CarveScan(req, sink, {});
        EXPECT_TRUE(result.deviceUnavailable);
        EXPECT_EQ(sink.questions.size(), c.questions);
        EXPECT_EQ(sink.questions[0], kMediaRemovedQuestion);
    }
}

} // namespace
} // namespace snapmend::carving
