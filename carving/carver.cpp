#include "carving/carver.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <cstdlib>
#include <thread>
#include <vector>

#include "common/progress_throttle.h"
#include "saving/save_context.h"

namespace snapmend::carving {

namespace {

constexpr std::size_t kWindow = kReadWindowBytes;
constexpr std::size_t kSector = device::kSectorSize;
// A device that keeps failing to open is given up after this many attempts, so a remembered
// Retry cannot spin for ever.
constexpr int kMaxOpenAttempts = 10;
constexpr int kSpinMicroseconds = 300;

// The records of a set grouped by header offset and first byte, so that each sector position costs
// one byte test per distinct offset; records keep their list order within a group.
class SignatureIndex {
public:
    explicit SignatureIndex(const SignatureSet& set) : m_set(set) {
        for (const std::int32_t o : set.offsets) {
            Group g;
            g.skip = static_cast<std::size_t>(o) - 1;
            for (std::size_t i = 0; i < set.records.size(); ++i) {
                const FileType1& r = set.records[i];
                if (r.headerOffset != o || r.signatureLength < 1) continue;
                g.byFirst[static_cast<std::size_t>(r.firstByte & 0xFF)].push_back(static_cast<std::uint32_t>(i));
                g.hasFirst[static_cast<std::size_t>(r.firstByte & 0xFF)] = 1;
                m_reach = std::max(m_reach, g.skip + static_cast<std::size_t>(r.signatureLength));
            }
            m_groups.push_back(std::move(g));
        }
    }

    // Bytes past a sector's start that a signature can reach.
    std::size_t reach() const { return m_reach; }

    // Calls found(record index) for each record matching at pos, in offset-list order and then list
    // order; stops early when found returns false. base holds avail bytes that exist.
    template <typename Found>
    void matchAt(const std::byte* base, std::size_t avail, std::size_t pos, Found&& found) const {
        for (const Group& g : m_groups) {
            const std::size_t p = pos + g.skip;
            if (p >= avail) continue;
            const auto& candidates = g.byFirst[static_cast<std::uint8_t>(base[p])];
            for (const std::uint32_t idx : candidates) {
                const FileType1& r = m_set.records[idx];
                const auto len = static_cast<std::size_t>(r.signatureLength);
                if (len > avail - p) continue;
                bool same = true;
                for (std::size_t k = 1; k < len && same; ++k)
                    same = static_cast<std::uint8_t>(base[p + k]) == static_cast<std::uint8_t>(r.signature[k]);
                if (same && !found(idx)) return;
            }
        }
    }

    // Marks (bit n of marks for the sector at n x 512) the positions of one window whose byte at
    // some header offset starts a signature; matchAt tells whether one really matches there. All
    // offsets are tested in one branch-free pass, so each sector's bytes are fetched once and the
    // loads of many sectors overlap.
    void markCandidates(const std::byte* base, std::size_t valid, std::size_t avail,
                        std::array<std::uint64_t, kReadWindowBytes / 512 / 64>& marks) const {
        constexpr std::size_t kSectorBytes = 512;
        // Positions where every offset's byte exists; only a window at the medium's end has others.
        std::size_t whole = valid;
        for (const Group& g : m_groups) whole = std::min(whole, avail > g.skip ? avail - g.skip : 0);
        std::size_t pos = 0, n = 0;
        for (; pos < whole; pos += kSectorBytes, ++n) {
            std::uint64_t any = 0;
            for (const Group& g : m_groups) any |= g.hasFirst[static_cast<std::uint8_t>(base[pos + g.skip])];
            marks[n / 64] |= any << (n % 64);
        }
        for (; pos < valid; pos += kSectorBytes, ++n) {
            std::uint64_t any = 0;
            for (const Group& g : m_groups)
                if (pos + g.skip < avail) any |= g.hasFirst[static_cast<std::uint8_t>(base[pos + g.skip])];
            marks[n / 64] |= any << (n % 64);
        }
    }

private:
    struct Group {
        std::size_t skip = 0;
        std::array<std::vector<std::uint32_t>, 256> byFirst;
        std::array<std::uint8_t, 256> hasFirst{};
    };
    const SignatureSet& m_set;
    std::vector<Group> m_groups;
    std::size_t m_reach = 0;
};

// Read buffers in whole huge pages where the kernel allows it: on some machines a page fault costs
// as much as copying the page, and a scan's buffers are faulted in once per run.
class ReadBuffer {
public:
    explicit ReadBuffer(std::size_t bytes) {
        constexpr std::size_t kHuge = 2 * 1024 * 1024;
        m_size = bytes;
        const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
        void* p = nullptr;
        if (::posix_memalign(&p, kHuge, rounded) != 0) throw std::bad_alloc();
        ::madvise(p, rounded, MADV_HUGEPAGE);
        m_data = static_cast<std::byte*>(p);
    }
    ~ReadBuffer() { std::free(m_data); }
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;
    std::byte* data() { return m_data; }
    std::size_t size() const { return m_size; }

private:
    std::byte* m_data = nullptr;
    std::size_t m_size = 0;
};

// One read of several windows (plus the look-ahead bytes after them).
struct Block {
    explicit Block(std::size_t bytes) : data(bytes) {}
    ReadBuffer data;
    std::uint64_t firstWindow = 0;
    std::size_t windows = 0;
    std::size_t present = 0;  // bytes from the block's start that lie inside the medium
    std::vector<char> failed;  // per window: some of its present bytes could not be read
    // Sector positions (from the block's start, in sectors) where some record matches, in order.
    std::vector<std::uint32_t> hits;
};

// Reads blocks ahead of the scanner and finds the sector positions where some signature matches.
// Matching right after the read finds the bytes in this core's cache; handing every byte to
// another core to test cost more than the test itself. Several readers may take blocks in turn;
// the scanner gets them in order.
class ReadAhead {
public:
    ReadAhead(device::DeviceHandle handle, const SignatureIndex& index, std::uint64_t firstByte,
              std::uint64_t totalWindows, std::size_t perRead, std::size_t lookahead, std::size_t buffers,
              std::size_t readers)
        : m_handle(std::move(handle)), m_index(index), m_firstByte(firstByte), m_totalWindows(totalWindows),
          m_perRead(perRead), m_lookahead(lookahead) {
        readers = std::max<std::size_t>(1, readers);
        buffers = std::max(buffers, readers + 1);  // the scanner holds one while each reader fills one
        for (std::size_t i = 0; i < buffers; ++i) {
            auto b = std::make_unique<Block>(perRead * kWindow + lookahead);
            b->failed.resize(perRead);
            b->hits.reserve(perRead * kWindowSectors);
            m_free.push_back(std::move(b));
        }
        m_handle.adviseSequential();
        m_running = readers;
        for (std::size_t i = 0; i < readers; ++i) m_threads.emplace_back([this](std::stop_token st) { run(st); });
    }
    ~ReadAhead() {
        for (auto& t : m_threads) t.request_stop();
    }

    // The next block in order, or null after the last.
    std::unique_ptr<Block> next() {
        // A short spin first: from a warm cache the next block is ready within a fraction of a
        // millisecond, and waking a sleeping scanner would cost a reader a system call per block.
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicroseconds);
        while (!m_headReady.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();  // lets a reader run should they share a processor
        std::unique_lock lock(m_mutex);
        m_readyCv.wait(lock, [&] { return m_ready.count(m_nextOut) != 0 || m_running == 0; });
        const auto it = m_ready.find(m_nextOut);
        if (it == m_ready.end()) return nullptr;
        auto b = std::move(it->second);
        m_ready.erase(it);
        m_nextOut += m_perRead;
        m_headReady.store(m_ready.count(m_nextOut) != 0 || m_running == 0, std::memory_order_release);
        return b;
    }
    void recycle(std::unique_ptr<Block> b) {
        {
            std::lock_guard lock(m_mutex);
            m_free.push_back(std::move(b));
        }
        m_freeCv.notify_one();
    }

private:
    void run(std::stop_token st) {
        // Taking the lock first keeps the wake-up from slipping in between a reader's test of the
        // stop flag and its wait.
        std::stop_callback wake(st, [this] {
            { std::lock_guard lock(m_mutex); }
            m_freeCv.notify_all();
        });
        const std::uint64_t size = m_handle.sizeBytes();
        while (!st.stop_requested()) {
            std::unique_ptr<Block> b;
            std::uint64_t w = 0;
            {
                std::unique_lock lock(m_mutex);
                m_freeCv.wait(lock, [&] {
                    return !m_free.empty() || m_nextRead >= m_totalWindows || st.stop_requested();
                });
                if (st.stop_requested() || m_nextRead >= m_totalWindows) break;
                b = std::move(m_free.back());
                m_free.pop_back();
                w = m_nextRead;
                m_nextRead += m_perRead;
            }
            b->firstWindow = w;
            b->windows = static_cast<std::size_t>(std::min<std::uint64_t>(m_perRead, m_totalWindows - w));
            const std::uint64_t start = m_firstByte + w * kWindow;
            const std::size_t want = b->windows * kWindow + m_lookahead;
            b->present = start >= size ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(want, size - start));
            std::fill(b->failed.begin(), b->failed.end(), 0);
            const std::size_t got = m_handle.readAt(start, std::span(b->data.data(), want));
            if (got < b->present) {
                // Find out which windows failed: each is read on its own.
                for (std::size_t i = 0; i < b->windows; ++i) {
                    const std::size_t off = i * kWindow;
                    if (off >= b->present) break;
                    const std::size_t wWant = std::min(kWindow + m_lookahead, b->present - off);
                    const std::size_t wGot = m_handle.readAt(start + off, std::span(b->data.data() + off, wWant));
                    b->failed[i] = wGot < std::min(kWindow, b->present - off) ? 1 : 0;
                }
            }
            findHits(*b);
            {
                std::lock_guard lock(m_mutex);
                m_ready.emplace(w, std::move(b));
                if (w == m_nextOut) m_headReady.store(true, std::memory_order_release);
            }
            m_readyCv.notify_one();
        }
        {
            std::lock_guard lock(m_mutex);
            if (--m_running == 0) m_headReady.store(true, std::memory_order_release);  // ends a spin
        }
        m_readyCv.notify_one();
    }

    // Each window is matched against its own bytes and the look-ahead after it, never past what
    // the medium holds.
    void findHits(Block& b) const {
        b.hits.clear();
        for (std::size_t i = 0; i < b.windows; ++i) {
            const std::size_t off = i * kWindow;
            if (off >= b.present) break;
            const std::size_t valid = std::min(b.present - off, kWindow);
            const std::size_t avail = std::min(b.present - off, kWindow + m_lookahead);
            const std::byte* window = b.data.data() + off;
            std::array<std::uint64_t, kWindowSectors / 64> marks{};
            m_index.markCandidates(window, valid, avail, marks);
            for (std::size_t w = 0; w < marks.size(); ++w) {
                for (std::uint64_t bits = marks[w]; bits != 0; bits &= bits - 1) {
                    const std::size_t pos = (w * 64 + static_cast<std::size_t>(std::countr_zero(bits))) * kSector;
                    bool hit = false;
                    m_index.matchAt(window, avail, pos, [&](std::uint32_t) {
                        hit = true;
                        return false;
                    });
                    if (hit) b.hits.push_back(static_cast<std::uint32_t>((off + pos) / kSector));
                }
            }
        }
    }

    device::DeviceHandle m_handle;
    const SignatureIndex& m_index;
    std::uint64_t m_firstByte;
    std::uint64_t m_totalWindows;
    std::size_t m_perRead;
    std::size_t m_lookahead;
    std::mutex m_mutex;
    std::condition_variable m_readyCv;  // the scanner waits here for a block
    std::condition_variable m_freeCv;   // readers wait here for a buffer
    std::map<std::uint64_t, std::unique_ptr<Block>> m_ready;  // by first window, read ahead of order
    std::vector<std::unique_ptr<Block>> m_free;
    std::uint64_t m_nextRead = 0;  // first window of the next block to read
    std::uint64_t m_nextOut = 0;   // first window of the block the scanner takes next
    std::size_t m_running = 0;     // readers still running
    std::atomic<bool> m_headReady{false};  // the next block is in (or no more will come), for the spin
    std::vector<std::jthread> m_threads;  // last: joined before the members they use go
};

class Scan {
public:
    Scan(const CarveScanRequest& req, EngineSink& sink) : m_req(req), m_sink(sink), m_index(*req.set) {}

    CarveScanResult run(std::stop_token stop);

private:
    enum class Prompt { Retry, Cancel };

    Prompt askMediaRemoved() {
        if (m_rememberRetry) return Prompt::Retry;
        if (m_sink.ask(kMediaRemovedQuestion) != Answer::Yes) return Prompt::Cancel;
        if (m_sink.ask(kApplyUntilDoneQuestion) == Answer::Yes) m_rememberRetry = true;
        return Prompt::Retry;
    }

    device::DeviceHandle openWithPrompt() {
        for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
            auto h = m_req.devices->openDevice(m_req.devicePath);
            if (h) return h;
            if (askMediaRemoved() == Prompt::Cancel) return {};
        }
        return {};
    }

    // Appends bytes to a pending file, creating its output file on the first bytes. Bytes that
    // follow the held ones in memory join them; others first write out what is held.
    bool append(PendingFile& f, const std::byte* data, std::size_t len) {
        if (len == 0 || m_result.destinationFailed) return !m_result.destinationFailed;
        if (!f.out) {
            auto created = m_req.output->create(m_req.pass, f.fileName);
            if (!created.file) return destinationFailed(created.error);
            f.out = std::move(created.file);
            f.savedPath = std::move(created.path);
        }
        f.bytes += len;
        if (f.heldBytes > 0 && f.heldData + f.heldBytes == data) {
            f.heldBytes += len;
            return true;
        }
        const bool ok = writeHeld(f);
        f.heldData = data;
        f.heldBytes = len;
        return ok;
    }

    bool writeHeld(PendingFile& f) {
        if (f.heldBytes == 0) return true;
        const std::size_t len = f.heldBytes;
        f.heldBytes = 0;
        if (m_result.destinationFailed) {
            f.bytes -= len;
            return false;
        }
        std::size_t written = 0;
        const int err = f.out->write(std::span(f.heldData, len), written);
        f.bytes -= len - written;  // what went in before an error stays in the file
        if (err != 0) return destinationFailed(err);
        return true;
    }

    // Before a read buffer goes back to the reader, nothing may point into it.
    void writeAllHeld() {
        for (auto& f : m_pending) writeHeld(f);
    }

    bool destinationFailed(int err) {
        if (!m_result.destinationFailed) {
            m_result.destinationFailed = true;
            std::string text(saving::kDiskFullMessage);
            text += "\n\n(" + std::string(std::strerror(err)) + ")";
            m_sink.message(MessageKind::Error, text);
        }
        return false;
    }

    void close(PendingFile& f) {
        if (f.out) writeHeld(f);
        if (f.out) {
            const int err = f.out->close();
            if (err != 0) destinationFailed(err);
        }
        if (f.bytes == 0) return;
        ++m_result.filesClosed;
        if (m_req.closeFile)
            m_req.closeFile(CarvedFile{m_req.pass, f.extension, f.fileName, f.savedPath, f.startSector, f.bytes});
    }

    void closeAll() {
        for (auto& f : m_pending) close(f);
        m_pending.clear();
    }

    // Found: a match of record idx at pos of the current window.
    void found(std::uint32_t idx, const std::byte* window, std::size_t pos, int matchIndex) {
        const FileType1& r = m_req.set->records[idx];
        if (!m_pending.empty() && !(m_pendingWindow == m_window && m_pendingPos == pos)) {
            for (auto& f : m_pending)
                if (pos > f.startOffset) append(f, window + f.startOffset, pos - f.startOffset);
            closeAll();
        }
        PendingFile f;
        f.extension = r.extension;
        f.maxSizeText = r.maxSizeText;
        f.maxSize = r.maxSize();
        f.matchIndex = matchIndex;
        f.fileName = m_req.namer->nameFor(r.extension);
        f.startOffset = pos;
        f.startSector = m_windowSector + pos / kSector;
        m_pending.push_back(std::move(f));
        m_pendingWindow = m_window;
        m_pendingPos = pos;
    }

    // Runs Found for the records matching at one position, in offset-list and then list order.
    void matchPosition(const std::byte* window, std::size_t avail, std::size_t pos) {
        const bool photo = m_req.mode == CarveMode::Photo;
        int matches = 0;
        m_index.matchAt(window, avail, pos, [&](std::uint32_t idx) {
            found(idx, window, pos, photo ? 0 : matches);
            ++matches;
            return !photo;  // Photo Search takes only the first match at a position
        });
    }

    void scanWindow(const std::byte* window, std::size_t valid, std::size_t avail) {
        for (std::size_t pos = 0; pos < valid; pos += kSector) matchPosition(window, avail, pos);
    }

    // Hands the window's bytes to the pending files, closing those that would outgrow their type.
    void consume(const std::byte* window, std::size_t valid) {
        for (std::size_t i = 0; i < m_pending.size();) {
            PendingFile& f = m_pending[i];
            const std::size_t from = std::min(f.startOffset, valid);
            const std::uint64_t chunk = std::min<std::uint64_t>(valid - from, f.maxSize);
            if (f.bytes + chunk <= f.maxSize) {
                append(f, window + from, static_cast<std::size_t>(chunk));
                f.startOffset = 0;
                ++i;
            } else {
                close(f);
                m_pending.erase(m_pending.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }

    const CarveScanRequest& m_req;
    EngineSink& m_sink;
    SignatureIndex m_index;
    CarveScanResult m_result;
    std::vector<PendingFile> m_pending;
    std::uint64_t m_window = 0;         // index of the current window in the range
    std::uint64_t m_windowSector = 0;   // its first sector
    std::uint64_t m_pendingWindow = 0;  // where the pending files were found
    std::size_t m_pendingPos = 0;
    bool m_rememberRetry = false;
};

CarveScanResult Scan::run(std::stop_token stop) {
    const std::uint64_t first = m_req.firstSector;
    const std::uint64_t last = m_req.lastSector;
    const std::uint64_t totalSectors = last - first + 1;
    const std::uint64_t totalWindows = (totalSectors + kWindowSectors - 1) / kWindowSectors;

    device::DeviceHandle handle = openWithPrompt();
    if (!handle) {
        m_result.deviceUnavailable = true;
        m_result.stopped = true;
        return m_result;
    }
    const std::uint64_t mediumBytes = handle.sizeBytes();

    // Windows that lie wholly past the end of the medium hold nothing to scan.
    const std::uint64_t firstByte = first * kSector;
    const std::uint64_t windowsOnMedium =
        firstByte >= mediumBytes ? 0 : (mediumBytes - firstByte + kWindow - 1) / kWindow;
    const std::uint64_t windows = std::min(totalWindows, windowsOnMedium);

    // Signatures that reach past a window's last sector look into the next window's first bytes.
    const std::size_t lookahead = m_index.reach() > kSector ? m_index.reach() - kSector : 0;
    const std::size_t perRead = std::max<std::size_t>(1, m_req.windowsPerRead);
    ReadAhead reader(handle, m_index, firstByte, windows, perRead, lookahead,
                     std::max<std::size_t>(2, m_req.buffersInFlight), m_req.readers);
    ProgressThrottle progress(m_sink);
    progress.update(0, totalSectors);

    while (auto block = reader.next()) {
        auto hit = block->hits.begin();
        for (std::size_t i = 0; i < block->windows; ++i) {
            if (stop.stop_requested()) {
                m_result.stopped = true;
                closeAll();
                return m_result;
            }
            m_window = block->firstWindow + i;
            m_windowSector = first + m_window * kWindowSectors;
            const std::size_t off = i * kWindow;
            std::byte* window = block->data.data() + off;
            const std::size_t present = block->present > off ? block->present - off : 0;
            const std::size_t valid = std::min(present, kWindow);
            const std::size_t avail = std::min(present, kWindow + lookahead);
            // The reader's hits in this window, as sector numbers from the block's start.
            const auto windowEnd = static_cast<std::uint32_t>((i + 1) * kWindowSectors);
            const auto hitsEnd = std::find_if(hit, block->hits.end(), [&](std::uint32_t h) { return h >= windowEnd; });

            bool reread = false;
            if (block->failed[i]) {
                ++m_result.unreadableWindows;
                // Near the end of the range a failed window is taken as read (unread sectors are
                // zeros); elsewhere the person decides whether the medium is still there.
                if (last - m_windowSector >= kReadWindowBytes) {
                    if (askMediaRemoved() == Prompt::Cancel) {
                        m_result.stopped = true;
                        closeAll();
                        return m_result;
                    }
                    // Only this window's own bytes are replaced: the look-ahead after them is the
                    // next window, read already and still to be carved.
                    const auto again = m_req.devices->openDevice(m_req.devicePath);
                    if (again) {
                        again.readAt(m_windowSector * kSector, std::span(window, valid));
                    } else {
                        std::fill(window, window + valid, std::byte{0});
                    }
                    reread = true;
                }
            }

            if (reread) {
                scanWindow(window, valid, avail);
            } else {
                for (; hit != hitsEnd; ++hit) matchPosition(window, avail, (*hit - i * kWindowSectors) * kSector);
            }
            hit = hitsEnd;
            consume(window, valid);
            if (m_result.destinationFailed) {
                m_result.stopped = true;
                closeAll();
                return m_result;
            }
            m_result.sectorsScanned = std::min(totalSectors, (m_window + 1) * kWindowSectors);
            progress.update(m_result.sectorsScanned, totalSectors);
        }
        writeAllHeld();
        if (m_result.destinationFailed) {
            m_result.stopped = true;
            closeAll();
            return m_result;
        }
        reader.recycle(std::move(block));
    }
    closeAll();
    progress.update(totalSectors, totalSectors);
    return m_result;
}

} // namespace

std::string carveStatusText(CarveMode mode, CarvePass pass) {
    if (mode == CarveMode::Photo)
        return pass == CarvePass::General ? "(Currently performing Search based on:  General Recovery Procedure)"
                                          : "(Currently performing Search based on:  Thorough Scanning Algorithm)";
    const std::string word(modeWord(mode));
    return pass == CarvePass::General ? "(Searching files based on:  General " + word + " Recovery Procedure)"
                                      : "(Searching files based on:  Thorough " + word + " Scanning Algorithm)";
}

CarveScanResult CarveScan(const CarveScanRequest& request, EngineSink& sink, std::stop_token stop) {
    sink.status(carveStatusText(request.mode, request.pass));
    if (!request.set || request.set->empty() || !request.devices || !request.namer || !request.output ||
        request.lastSector < request.firstSector)
        return {};
    Scan scan(request, sink);
    return scan.run(std::move(stop));
}

} // namespace snapmend::carving
