// Recovery logs: the field encodings, a written log read back by a reader of the layout written
// here field by field, round trips through the parser, the truncation sweep and hostile files,
// and reloads against the same card attached under another disk number or drive letter.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <random>

#include "common/bytes.h"
#include "common/text.h"
#include "fsrecovery/basic_search.h"
#include "saving/log_format.h"
#include "saving/log_reload.h"
#include "saving/recovery_log.h"
#include "saving/save_walk.h"
#include "tests/support/log_reader.h"
#include "tests/support/scripted_sink.h"
#include "tests/support/test_media.h"
#include "tests/support/tree_paths.h"

namespace snapmend::saving {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::UnchangedGuard;

std::vector<std::byte> bytesOf(std::initializer_list<int> values) {
    std::vector<std::byte> out;
    for (int v : values) out.push_back(std::byte(static_cast<std::uint8_t>(v)));
    return out;
}

// ---- Field encodings -------------------------------------------------------------------------

TEST(LogFormat, StringLengthPrefixesAndRoundTrips) {
    struct Case {
        const char* name;
        std::u16string text;
        std::vector<std::byte> prefix;  // the first bytes written
    };
    const Case cases[] = {
        {"empty", u"", bytesOf({0xFF, 0xFE, 0xFF, 0x00})},
        {"254 units: one length byte", std::u16string(254, u'a'), bytesOf({0xFF, 0xFE, 0xFF, 0xFE, 'a', 0})},
        {"255 units: 0xFF then u16", std::u16string(255, u'b'), bytesOf({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0x00, 'b'})},
        {"300 units", std::u16string(300, u'c'), bytesOf({0xFF, 0xFE, 0xFF, 0xFF, 0x2C, 0x01, 'c', 0})},
        {"0xFFFE units: u16 0xFFFF then u32", std::u16string(0xFFFE, u'd'),
         bytesOf({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00, 'd', 0})},
        {"lone surrogates and a pair", std::u16string{u'A', char16_t(0xD800), u'B', char16_t(0xDFFF),
                                                      char16_t(0xD83D), char16_t(0xDE00)},
         bytesOf({0xFF, 0xFE, 0xFF, 0x06, 'A', 0, 0x00, 0xD8, 'B', 0, 0xFF, 0xDF})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogEncoder e;
        e.string16(c.text);
        const auto& bytes = e.bytes();
        ASSERT_GE(bytes.size(), c.prefix.size());
        EXPECT_TRUE(std::equal(c.prefix.begin(), c.prefix.end(), bytes.begin()));
        LogDecoder d(bytes);
        EXPECT_EQ(d.string16(), c.text);
        EXPECT_TRUE(d.atEnd());
        // The same text through its UTF-8 form: names from a medium come back unchanged.
        const std::string utf8 = utf16ToUtf8(c.text);
        LogEncoder e8;
        e8.string(utf8);
        EXPECT_EQ(e8.bytes(), bytes);
        LogDecoder d8(e8.bytes());
        EXPECT_EQ(d8.string(), utf8);
    }
}

TEST(LogFormat, DecoderRefusesWhatDoesNotFit) {
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
    };
    const Case cases[] = {
        {"no text mark", bytesOf({0xFF, 0x00, 0x00, 0x00})},
        {"8-bit text", bytesOf({0x02, 'a', 'b'})},
        {"length past the end", bytesOf({0xFF, 0xFE, 0xFF, 0x03, 'a', 0, 'b', 0})},
        {"u32 length of 2^31", bytesOf({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80})},
        {"u64 length near 2^64", bytesOf({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0xFF,
                                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
        {"second text mark as length", bytesOf({0xFF, 0xFE, 0xFF, 0xFF, 0xFE, 0xFF, 0x00})},
        {"odd byte", bytesOf({0xFF, 0xFE, 0xFF, 0x01, 'a'})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogDecoder d(c.bytes);
        EXPECT_FALSE(d.string16());
        EXPECT_TRUE(d.failed());
        EXPECT_FALSE(d.u8());  // stays failed
    }
    const auto noLfBytes = bytesOf({'a', 0, '\r', 0});
    LogDecoder noLf(noLfBytes);
    EXPECT_FALSE(noLf.line());
    const auto twoLines = bytesOf({'a', 0, '\r', 0, '\n', 0, '\n', 0});
    LogDecoder two(twoLines);
    EXPECT_EQ(two.line(), u"a");
    EXPECT_EQ(two.line(), u"");
    EXPECT_TRUE(two.atEnd());
}

// ---- An independent reader of the layout -----------------------------------------------------

using Reader = test::LogFieldReader;

void expectParams(Reader& r, const device::VolumeParams& p) {
    EXPECT_EQ(r.u32(), p.SPF);
    EXPECT_EQ(r.u32(), p.SPC);
    EXPECT_EQ(r.u32(), p.RootSec);
    EXPECT_EQ(r.u32(), p.RootStartSec);
    EXPECT_EQ(r.u32(), p.ReserveSecStart);
    EXPECT_EQ(r.u64(), p.Cluster0Start);
    EXPECT_EQ(r.u32(), p.firstFAT);
    EXPECT_EQ(r.u32(), p.secondFAT);
    EXPECT_EQ(r.u64(), p.mftStart);
    EXPECT_EQ(r.u64(), p.mftMirrStart);
    EXPECT_EQ(r.u32(), p.sectorsPerMftRecord);
    EXPECT_EQ(r.u32(), p.sectorsPerIndexRecord);
}

// Reads a Basic Search log field by field and compares it with the session it was written from.
void expectBasicLogOf(const std::vector<std::byte>& bytes, const fsrecovery::Session& s,
                      const std::string& identity) {
    Reader r{bytes};
    const auto& st = s.target;
    EXPECT_EQ(r.s8(), st.targetKind);
    EXPECT_EQ(r.s8(), "KestrevanWIN7SR2013");
    EXPECT_EQ(r.s8(), identity.substr(0, identity.find("||")));
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(r.s8(), "PHY");
    EXPECT_EQ(r.s8(), identity);
    EXPECT_EQ(r.u16(), *device::diskNumberOf(st.devicePath));
    EXPECT_EQ(r.u16(), st.target.diskIndex);
    EXPECT_EQ(r.u32(), st.target.partitionIndex);
    EXPECT_EQ(r.s8(), st.target.fileSystem);
    EXPECT_EQ(r.s8(), st.target.searchMode);
    EXPECT_EQ(r.u64(), st.target.startSector);
    EXPECT_EQ(r.u64(), st.target.endSector);
    EXPECT_EQ(r.u64(), st.target.listedStartSector);
    EXPECT_EQ(r.u64(), st.target.listedEndSector);
    expectParams(r, st.calculatedParams);
    expectParams(r, st.activeParams);
    EXPECT_EQ(r.s8(), st.activeParams.partType);
    const auto& rt = s.recovered;
    EXPECT_EQ(r.u64(), rt.folders.size());
    std::size_t items = 0;
    rt.tree.forEach([&](ItemId item, int depth) {
        ++items;
        EXPECT_EQ(r.L(), std::u16string(static_cast<std::size_t>(depth), u'\t') + utf8ToUtf16(rt.tree.label(item)));
        const auto node = rt.nodeOf(item);
        const bool root = item == rt.tree.firstItem();
        EXPECT_EQ(r.s8(), root ? "Root_Item" : rt.folders[node].name);
        EXPECT_EQ(r.u32(), root ? 0 : rt.folders[node].selfCluster);
        EXPECT_EQ(r.u32(), root ? 0 : rt.folders[node].parentCluster);
        EXPECT_EQ(r.u64(), root ? 0 : rt.folders[node].date);
        EXPECT_EQ(r.u64(), root ? 0 : rt.folders[node].time);
        EXPECT_EQ(r.u32(), root ? 0u : static_cast<std::uint32_t>(rt.folders[node].deleted));
    });
    EXPECT_GT(items, 3u);
    EXPECT_EQ(r.L(), u"KestrevanWIN7SR2013/:*?\"<>|");
    if (st.activeParams.partType == "NTFS") {
        const auto& table = s.NtfsFileTable;
        ASSERT_EQ(r.u64(), table.rowCount());
        for (std::size_t row = 0; row < table.rowCount(); ++row)
            for (std::size_t c = 0; c < 6; ++c) EXPECT_EQ(r.s8(), table.cell(row, c));
        EXPECT_EQ(r.u32(), 0u);
    }
    EXPECT_EQ(r.pos, bytes.size());
}

// ---- Real volumes ----------------------------------------------------------------------------

std::vector<std::byte> randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::byte> out(n);
    for (auto& b : out) b = std::byte(static_cast<std::uint8_t>(gen()));
    return out;
}

// Makes the long name "QQ1QQ2..." of a directory entry carry the lone surrogate 0xD800 as its
// sixth character: a name no tool writes, and not valid Unicode.
void plantLoneSurrogate(const fs::path& image) {
    auto bytes = test::readAt(image, 0, static_cast<std::size_t>(fs::file_size(image)));
    const std::string pattern("Q\0Q\0" "1\0Q\0Q\0", 10);
    int planted = 0;
    for (std::size_t i = 1; i + 40 < bytes.size(); ++i) {
        if (std::memcmp(bytes.data() + i, pattern.data(), pattern.size()) != 0) continue;
        test::writeAt(image, i - 1 + 14, bytesOf({0x00, 0xD8}));
        ++planted;
    }
    EXPECT_EQ(planted, 1);
}

// A FAT32 card with nested folders, a deleted folder and a folder whose name is not valid Unicode,
// scanned by Basic Search as the first partition-less volume of disk 0.
struct FatCard {
    FatCard() {
        image = dir / "card.img";
        test::createImage(image, std::uint64_t{34} << 20);
        EXPECT_TRUE(test::run("mkfs.fat -F 32 -s 1 -n CARD '" + image.string() + "' >/dev/null"));
        mtools("mmd", "::/DCIM ::/DCIM/100CANON ::/DCIM/100CANON/Deep ::/Trip ::/Trip/Day1 ::/QQ1QQ2name");
        put("::/DCIM/100CANON/IMG_0001.JPG", 5000, 1);
        put("::/DCIM/100CANON/Deep/IMG_0002.JPG", 9000, 2);
        put("::/Trip/Day1/beach.jpg", 3000, 3);
        put("::/QQ1QQ2name/odd.txt", 700, 4);
        put("::/README.TXT", 100, 5);
        mtools("mdeltree", "::/Trip");
        plantLoneSurrogate(image);
    }
    void mtools(const std::string& tool, const std::string& args) {
        EXPECT_TRUE(test::run("MTOOLS_SKIP_CHECK=1 " + tool + " -i '" + image.string() + "' " + args));
    }
    void put(const std::string& target, std::size_t size, unsigned seed) {
        const auto src = dir / ("src" + std::to_string(seed));
        test::createImage(src, 0);
        test::writeAt(src, 0, randomBytes(size, seed));
        mtools("mcopy", "'" + src.string() + "' '" + target + "'");
    }
    // Runs Basic Search over the card attached as disk `disk` of devices.
    void scan(fsrecovery::Session& s, int disk) const {
        s.target.targetKind = "Logical";
        s.target.devicePath = device::DevicePathTable[static_cast<std::size_t>(disk)];
        s.target.target.diskIndex = static_cast<std::uint16_t>(disk);
        s.target.target.fileSystem = "FAT32";
        s.target.target.searchMode = "Basic Search";
        s.target.target.endSector = s.target.target.listedEndSector = (std::uint64_t{34} << 20) / 512;
        test::ScriptedSink sink;
        fsrecovery::BasicSearchWorker(s, sink, std::stop_token{});
    }
    TempDir dir;
    fs::path image;
};

std::string identityOf(const device::DeviceMap& devices, int disk) {
    for (const auto& entry : attachedMediaTables(devices).diskIdentityTable)
        if (entry.ends_with("||" + std::to_string(disk))) return entry;
    return {};
}

// Saves the whole tree and returns every saved file's path and content.
std::map<std::string, std::vector<std::byte>> savedFiles(fsrecovery::Session& s, const fs::path& dest) {
    fs::create_directories(dest);
    SaveContext ctx;
    test::ScriptedSink sink;
    const auto summary = saveTree(s, dest, ctx, sink, std::stop_token{}, false);
    std::map<std::string, std::vector<std::byte>> out;
    for (const auto& f : summary.files)
        out[f.relativePath] = test::readAt(dest / f.relativePath, 0, static_cast<std::size_t>(fs::file_size(dest / f.relativePath)));
    return out;
}

class FatLog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(devices.attachDisk(card.image.string()));
        guard = std::make_unique<UnchangedGuard>(card.image);
        card.scan(session, 0);
        ASSERT_GT(session.recovered.folders.size(), 4u);
        logPath = card.dir / "scan.QSL";
        ASSERT_TRUE(WriteRecoveryLog(session, kBasicSearchMode, attachedMediaTables(devices).diskIdentityTable, logPath));
        bytes = test::readAt(logPath, 0, static_cast<std::size_t>(fs::file_size(logPath)));
    }
    FatCard card;
    device::DeviceMap devices;
    fsrecovery::Session session{devices};
    std::unique_ptr<UnchangedGuard> guard;
    fs::path logPath;
    std::vector<std::byte> bytes;
};

TEST_F(FatLog, IndependentReaderFindsEveryFieldOfABasicSearch) {
    expectBasicLogOf(bytes, session, identityOf(devices, 0));
    // The name that is not valid Unicode is stored unit for unit.
    const auto odd = bytesOf({'Q', 0, 'Q', 0, '1', 0, 'Q', 0, 'Q', 0, 0x00, 0xD8, 'n', 0});
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), odd.begin(), odd.end()), bytes.end());
}

TEST_F(FatLog, ParsesBackToTheSameLogAndTree) {
    const auto parsed = parseRecoveryLog(bytes);
    ASSERT_TRUE(parsed) << parsed.error().detail;
    EXPECT_EQ(encodeRecoveryLog(*parsed), bytes);

    fsrecovery::Session loaded(devices);
    test::ScriptedSink sink;
    applyRecoveryLog(loaded, *parsed, session.devicePath(), sink);
    EXPECT_EQ(test::treePaths(loaded.recovered), test::treePaths(session.recovered));
    EXPECT_EQ(loaded.target.target.endSector, session.target.target.endSector);
    EXPECT_EQ(loaded.target.activeParams, session.target.activeParams);
    EXPECT_EQ(loaded.target.calculatedParams, session.target.calculatedParams);
    bool sawOddName = false;
    for (const auto& n : loaded.recovered.folders) sawOddName |= n.name == "QQ1QQ" + utf16ToUtf8(u"\xD800") + "name";
    EXPECT_TRUE(sawOddName);
}

TEST_F(FatLog, EveryCutOfTheFileIsRefusedAsCorrupt) {
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        const auto parsed = parseRecoveryLog(Bytes(bytes.data(), n));
        ASSERT_FALSE(parsed) << "prefix of " << n << " bytes";
        ASSERT_EQ(parsed.error().code, kLogErrCorrupt) << "prefix of " << n << " bytes";
    }
}

// A session with a result of its own, to see that a refused load leaves it alone.
struct Snapshot {
    std::map<std::string, std::string> tree;
    device::ScanTarget target;
    std::string devicePath;
    explicit Snapshot(const fsrecovery::Session& s)
        : tree(test::treePaths(s.recovered)), target(s.target.target), devicePath(s.target.devicePath) {}
    bool operator==(const Snapshot& o) const {
        return tree == o.tree && devicePath == o.devicePath && target.startSector == o.target.startSector &&
               target.endSector == o.target.endSector && target.fileSystem == o.target.fileSystem;
    }
};

std::size_t find16(const std::vector<std::byte>& bytes, std::u16string_view text) {
    std::vector<std::byte> needle;
    for (const char16_t c : text) {
        needle.push_back(std::byte(c & 0xFF));
        needle.push_back(std::byte(c >> 8));
    }
    const auto it = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
    return it == bytes.end() ? std::string::npos : static_cast<std::size_t>(it - bytes.begin());
}

TEST_F(FatLog, HostileLogsEndWithTheMessageAndChangeNothing) {
    const std::size_t rootLine = find16(bytes, u"Root\r\n");
    const std::size_t firstChild = find16(bytes, u"\tDCIM\r\n");
    ASSERT_NE(rootLine, std::string::npos);
    ASSERT_NE(firstChild, std::string::npos);
    struct Case {
        const char* name;
        std::function<void(std::vector<std::byte>&)> damage;
        LoadStatus status;
        std::string_view message;
    };
    const auto putU64At = [](std::size_t off, std::uint64_t v) {
        return [off, v](std::vector<std::byte>& b) { putLe64(b, off, v); };
    };
    const Case cases[] = {
        {"cut inside the tree", [&](auto& b) { b.resize(firstChild + 20); }, LoadStatus::Corrupt, kLogCorrupted},
        {"folder count of 2^62", putU64At(rootLine - 8, 1ull << 62), LoadStatus::Corrupt, kLogCorrupted},
        {"target kind length of 2^31",
         [](auto& b) {
             const auto big = bytesOf({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
             b.erase(b.begin() + 3, b.begin() + 4);
             b.insert(b.begin() + 3, big.begin(), big.end());
         },
         LoadStatus::Corrupt, kLogCorrupted},
        {"a depth that jumps two levels",
         [&](auto& b) {
             const auto tabs = bytesOf({'\t', 0, '\t', 0});
             b.insert(b.begin() + static_cast<std::ptrdiff_t>(firstChild), tabs.begin(), tabs.end());
         },
         LoadStatus::Corrupt, kLogCorrupted},
        {"no end marker", [&](auto& b) { b.resize(b.size() - 2); }, LoadStatus::Corrupt, kLogCorrupted},
        {"wrong magic", [](auto& b) { b[30] = std::byte{'X'}; }, LoadStatus::WrongMagic, kLogWrongMagic},
        {"mode 7", [&](auto& b) { putLe32(b, 4 + 2 * 7 + 4 + 2 * 19 + 4 + 2 * identityOf(devices, 0).find("||"), 7); },
         LoadStatus::MediumMissing, kMediumMovedOrRemoved},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto damaged = bytes;
        c.damage(damaged);
        const auto path = card.dir / "damaged.QSL";
        test::createImage(path, 0);
        test::writeAt(path, 0, damaged);
        const Snapshot before(session);
        LogLoadState state{path.string(), false};
        test::ScriptedSink sink;
        const auto outcome =
            LoadRecoveryLog(session, kBasicSearchMode, {}, attachedMediaTables(devices), state, sink);
        EXPECT_EQ(outcome.status, c.status);
        ASSERT_EQ(sink.messages.size(), 1u);
        EXPECT_EQ(sink.messages[0].text, c.message);
        EXPECT_TRUE(sink.questions.empty());
        EXPECT_TRUE(Snapshot(session) == before);
        EXPECT_TRUE(state.pendingLogPath.empty());
    }
}

TEST_F(FatLog, ReloadsTheSameCardUnderAnotherDiskNumber) {
    const auto original = savedFiles(session, card.dir / "saved-original");
    ASSERT_GE(original.size(), 4u);

    // The card is now disk 1: another card took its place as disk 0.
    TempDir other;
    test::createImage(other / "other.img", std::uint64_t{8} << 20);
    device::DeviceMap later;
    ASSERT_TRUE(later.attachDisk((other / "other.img").string()));
    ASSERT_TRUE(later.attachDisk(card.image.string()));
    const auto tables = attachedMediaTables(later);

    struct Case {
        Answer answer;
        LoadStatus status;
    };
    for (const Case c : {Case{Answer::No, LoadStatus::MediumRefused}, Case{Answer::Yes, LoadStatus::Loaded}}) {
        SCOPED_TRACE(c.answer == Answer::Yes ? "Yes" : "No");
        fsrecovery::Session reloaded(later);
        test::ScriptedSink sink;
        sink.answers.push_back(c.answer);
        LogLoadState state{logPath.string(), false};
        const auto outcome = LoadRecoveryLog(reloaded, kBasicSearchMode, {}, tables, state, sink);
        EXPECT_EQ(outcome.status, c.status);
        ASSERT_EQ(sink.questions.size(), 1u);
        EXPECT_EQ(sink.questions[0], diskReplacedQuestion("0", "1"));
        EXPECT_TRUE(state.pendingLogPath.empty());
        if (c.status != LoadStatus::Loaded) {
            EXPECT_EQ(reloaded.recovered.tree.size(), 0u);
            continue;
        }
        EXPECT_EQ(outcome.recoveredItems, 10u);
        EXPECT_EQ(reloaded.devicePath(), device::DevicePathTable[1]);
        EXPECT_EQ(sink.messages.back().text, kLogLoaded);
        EXPECT_EQ(test::treePaths(reloaded.recovered), test::treePaths(session.recovered));
        EXPECT_GT(reloaded.itemList.rowCount(), 0u);  // the root is listed
        EXPECT_EQ(savedFiles(reloaded, card.dir / "saved-reloaded"), original);
    }
}

TEST_F(FatLog, SameDiskNumberLoadsWithoutAQuestionAndKeepsThePendingPath) {
    fsrecovery::Session reloaded(devices);
    test::ScriptedSink sink;
    LogLoadState state{logPath.string(), false};
    const auto outcome = LoadRecoveryLog(reloaded, kBasicSearchMode, {}, attachedMediaTables(devices), state, sink);
    EXPECT_EQ(outcome.status, LoadStatus::Loaded);
    EXPECT_TRUE(sink.questions.empty());
    EXPECT_EQ(state.pendingLogPath, logPath.string());
}

TEST_F(FatLog, MissingMediumAndUnopenableFiles) {
    device::DeviceMap empty;
    fsrecovery::Session reloaded(empty);
    test::ScriptedSink sink;
    LogLoadState state{logPath.string(), false};
    auto outcome = LoadRecoveryLog(reloaded, kBasicSearchMode, {}, attachedMediaTables(empty), state, sink);
    EXPECT_EQ(outcome.status, LoadStatus::MediumMissing);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].text, kMediumMovedOrRemoved);
    EXPECT_EQ(reloaded.recovered.tree.size(), 0u);

    // A pending log that is gone ends the program; a chosen one just ends the load. Nothing is shown.
    test::ScriptedSink quiet;
    LogLoadState pending{(card.dir / "gone.QSL").string(), false};
    outcome = LoadRecoveryLog(reloaded, kBasicSearchMode, {}, attachedMediaTables(devices), pending, quiet);
    EXPECT_EQ(outcome.status, LoadStatus::NotOpened);
    EXPECT_TRUE(outcome.endProgram);
    LogLoadState none;
    outcome = LoadRecoveryLog(reloaded, kBasicSearchMode, card.dir / "gone.QSL", attachedMediaTables(devices), none, quiet);
    EXPECT_EQ(outcome.status, LoadStatus::NotOpened);
    EXPECT_FALSE(outcome.endProgram);
    EXPECT_TRUE(quiet.messages.empty());
}

// The card read through a drive letter (no physical disk behind it): the LOG form.
TEST(LogicalDriveLog, ReloadsThroughAnotherDriveLetter) {
    FatCard card;
    device::DeviceMap devices;
    ASSERT_TRUE(devices.attachVolume(card.image.string()));  // E:
    UnchangedGuard guard(card.image);
    fsrecovery::Session session(devices);
    card.scan(session, 0);
    session.target.devicePath = device::logicalDrivePath('E');
    test::ScriptedSink scanSink;
    session.clearResults();
    fsrecovery::BasicSearchWorker(session, scanSink, std::stop_token{});
    ASSERT_GT(session.recovered.folders.size(), 4u);
    const auto log = card.dir / "e.QSL";
    ASSERT_TRUE(WriteRecoveryLog(session, kBasicSearchMode, {}, log));
    const auto bytes = test::readAt(log, 0, static_cast<std::size_t>(fs::file_size(log)));
    const auto parsed = parseRecoveryLog(bytes);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->media.form, LogMedia::Form::Logical);
    EXPECT_EQ(parsed->media.drivePath, "\\\\.\\E:");
    EXPECT_EQ(parsed->media.sectorCount, (std::uint64_t{34} << 20) / 512);

    // Another card of another size is E: now, the card itself F:.
    TempDir other;
    test::createImage(other / "small.img", std::uint64_t{4} << 20);
    device::DeviceMap later;
    ASSERT_TRUE(later.attachVolume((other / "small.img").string()));
    ASSERT_TRUE(later.attachVolume(card.image.string()));
    fsrecovery::Session reloaded(later);
    test::ScriptedSink sink;
    sink.answers.push_back(Answer::Yes);
    LogLoadState state;
    const auto outcome = LoadRecoveryLog(reloaded, kBasicSearchMode, log, attachedMediaTables(later), state, sink);
    ASSERT_EQ(outcome.status, LoadStatus::Loaded);
    ASSERT_EQ(sink.questions.size(), 1u);
    EXPECT_EQ(sink.questions[0], driveReplacedQuestion("\\\\.\\E:", "\\\\.\\F:"));
    EXPECT_EQ(reloaded.devicePath(), "\\\\.\\F:");
    EXPECT_EQ(test::treePaths(reloaded.recovered), test::treePaths(session.recovered));
}

// A small Deep Search log made in memory, for the mode rules and the Deep fields.
RecoveryLog smallDeepLog() {
    RecoveryLog log;
    log.targetKind = "part";
    log.mode = kDeepSearchMode;
    log.media.form = LogMedia::Form::Physical;
    log.media.tag = "PHY";
    log.media.diskIdentity = "card.img||1 MB||2048||0";
    log.target.fileSystem = "FAT32";
    log.target.endSector = 2048;
    log.activeParams.partType = "FAT32";
    log.deepVolumes.push_back({"0", "8", "1", "0", "2", "32", "40", "32", "40", "2048", "FAT32", "2048"});
    log.folderCount = 2;
    log.tree.push_back({0, "Root", true, {"Root_Item", 0, 0, 0, 0, 0, 0}, 0});
    log.tree.push_back({1, "A", true, {"A", 3, 0, 100, 200, 0, 64}, 0});
    log.tree.push_back({2, "B", true, {"B", 4, 3, 101, 201, 1, 64}, 1});
    return log;
}

TEST(DeepLog, KeepsFoundFileSystemsAndClusterStartsAndSwitchesModes) {
    const auto log = smallDeepLog();
    const auto bytes = encodeRecoveryLog(log);
    const auto parsed = parseRecoveryLog(bytes);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->deepVolumes, log.deepVolumes);
    ASSERT_EQ(parsed->tree.size(), 3u);
    EXPECT_EQ(parsed->tree[2].record, log.tree[2].record);
    EXPECT_EQ(parsed->tree[2].parent, 1u);

    TempDir dir;
    test::createImage(dir / "deep.QSL", 0);
    test::writeAt(dir / "deep.QSL", 0, bytes);
    device::DeviceMap devices;
    struct Case {
        Answer answer;
        LoadStatus status;
    };
    for (const Case c : {Case{Answer::No, LoadStatus::SwitchDeclined}, Case{Answer::Yes, LoadStatus::SwitchMode}}) {
        fsrecovery::Session session(devices);
        test::ScriptedSink sink;
        sink.answers.push_back(c.answer);
        LogLoadState state;
        const auto outcome = LoadRecoveryLog(session, kBasicSearchMode, dir / "deep.QSL", {}, state, sink);
        EXPECT_EQ(outcome.status, c.status);
        ASSERT_EQ(sink.questions.size(), 1u);
        EXPECT_EQ(sink.questions[0], kSwitchToDeepQuestion);
        EXPECT_EQ(state.switching, c.answer == Answer::Yes);
        EXPECT_EQ(state.pendingLogPath, c.answer == Answer::Yes ? (dir / "deep.QSL").string() : "");
        EXPECT_EQ(session.recovered.tree.size(), 0u);
    }
}

TEST(NtfsLog, OneFileRecordAndTheReservedWordSurvive) {
    RecoveryLog log = smallDeepLog();
    log.mode = kBasicSearchMode;
    log.target.fileSystem = "NTFS";
    log.activeParams.partType = "NTFS";
    log.deepVolumes.clear();
    log.ntfsFiles.push_back({"5|1234|", "a.jpg", "10", "", "1", "5"});
    log.ntfsReserved = 7;
    const auto bytes = encodeRecoveryLog(log);
    const auto parsed = parseRecoveryLog(bytes);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->ntfsFiles, log.ntfsFiles);
    EXPECT_EQ(parsed->ntfsReserved, 7u);
    EXPECT_EQ(encodeRecoveryLog(*parsed), bytes);
    // A count that cannot fit in what is left.
    auto absurd = bytes;
    putLe64(absurd, find16(absurd, u"KestrevanWIN7SR2013/:*?\"<>|\r\n") + 2 * 29, ~std::uint64_t{0} >> 2);
    EXPECT_FALSE(parseRecoveryLog(absurd));

    device::DeviceMap devices;
    fsrecovery::Session session(devices);
    test::ScriptedSink sink;
    applyRecoveryLog(session, *parsed, device::DevicePathTable[0], sink);
    EXPECT_FALSE(session.resultsFound);  // one record: the more-than-one flag stays clear
    EXPECT_EQ(session.NtfsFileTable.rowCount(), 1u);
}

TEST(DeepNtfsLog, FoundVolumesAndTheReservedWordComeBackWithAReload) {
    RecoveryLog log = smallDeepLog();
    log.target.fileSystem = "NTFS";
    log.activeParams.partType = "NTFS";
    log.deepVolumes.clear();
    log.tree.resize(2);
    log.ntfsFiles.push_back({"5|1234|", "a.jpg", "10", "", "1", "5"});
    log.ntfsReserved = 7;
    log.deepNtfsVolumes = {{"0", "1", "2048", "81920", "2048", "81920"}, {"0", "2", "0", "0", "0", "81920"}};
    const auto parsed = parseRecoveryLog(encodeRecoveryLog(log));
    ASSERT_TRUE(parsed);

    device::DeviceMap devices;
    fsrecovery::Session session(devices);
    test::ScriptedSink sink;
    applyRecoveryLog(session, *parsed, device::DevicePathTable[0], sink);
    ASSERT_EQ(session.DeepNtfsVolumeList.rowCount(), 2u);
    EXPECT_EQ(session.DeepNtfsVolumeList.row(1), log.deepNtfsVolumes[1]);
    // Saved again from the reloaded session, the log carries both as read.
    const auto again = snapshotRecoveryLog(session, kDeepSearchMode, {log.media.diskIdentity});
    EXPECT_EQ(again.deepNtfsVolumes, log.deepNtfsVolumes);
    EXPECT_EQ(again.ntfsReserved, 7u);
}

// The identity a log is re-found by depends on the image itself, not on how or where it is attached.
TEST(MediaIdentity, VolumeImagesAndBlockDevicesKeepTheirIdentity) {
    TempDir dir;
    test::createImage(dir / "card.img", std::uint64_t{34} << 20);
    fs::create_directories(dir / "moved");
    test::createImage(dir / "moved" / "card.img", std::uint64_t{34} << 20);
    test::createImage(dir / "other.img", std::uint64_t{8} << 20);
    const std::string card = (dir / "card.img").string();
    const std::string sectors = std::to_string((std::uint64_t{34} << 20) / 512);

    device::SysfsDisk sysfs;
    sysfs.devNode = card;
    sysfs.vendor = "SanDisk";
    sysfs.model = "Ultra";
    sysfs.busType = device::kBusUsb;

    struct Case {
        const char* name;
        std::function<void(device::DeviceMap&)> attach;
        std::vector<device::SysfsDisk> sysfs;
        std::string identity;  // of the card; empty when it has none
    };
    const auto disk = [](std::string path) { return [path](device::DeviceMap& d) { ASSERT_TRUE(d.attachDisk(path)); }; };
    const auto volume = [](std::string path) { return [path](device::DeviceMap& d) { ASSERT_TRUE(d.attachVolume(path)); }; };
    // The size text is the geometry's: whole cylinders of 255 x 63 sectors.
    const std::string asImage = "card.img USB Device||31.38 MB||" + sectors + "||";
    const Case cases[] = {
        {"a disk", disk(card), {}, asImage + "0"},
        {"a volume read through a disk of its own", volume(card), {}, asImage + "0"},
        {"the same name in another folder", volume((dir / "moved" / "card.img").string()), {}, asImage + "0"},
        {"after another disk",
         [&](device::DeviceMap& d) {
             disk((dir / "other.img").string())(d);
             volume(card)(d);
         },
         {},
         asImage + "1"},
        {"a block device sysfs describes", disk(card), {sysfs}, "SanDisk Ultra USB Device||31.38 MB||" + sectors + "||0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        device::DeviceMap devices;
        c.attach(devices);
        const auto tables = attachedMediaTables(devices, c.sysfs);
        const auto& ids = tables.diskIdentityTable;
        EXPECT_NE(std::find(ids.begin(), ids.end(), c.identity), ids.end()) << testing::PrintToString(ids);
        EXPECT_EQ(tables.logDriveTable.size(), devices.volumes().size());
    }
}

} // namespace
} // namespace snapmend::saving
