#include "saving/save_walk.h"

#include <cerrno>
#include <set>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "common/progress_throttle.h"
#include "common/text.h"
#include "fsrecovery/deep_scan_fat.h"
#include "fsrecovery/folder_listing.h"
#include "saving/collision_name.h"
#include "saving/detail/output.h"
#include "saving/extract_fat.h"
#include "saving/extract_ntfs.h"
#include "saving/safe_name.h"

namespace snapmend::saving {

namespace {

namespace fs = std::filesystem;
using fsrecovery::Session;

constexpr int kCheckedState = 2;

// A folder to save: the tree items from below "Root" down to it with their path components, and
// the file rows its listing gave.
struct FolderJob {
    std::vector<std::pair<ItemId, std::string>> chain;
    std::vector<WorkTable::Row> files;
};

bool isFileRow(const WorkTable::Row& row) {
    const std::string type = trim(row[fsrecovery::kItType]);
    if (type.empty()) return false;
    auto endsWith = [&](std::string_view tail) {
        return type.size() >= tail.size() && type.compare(type.size() - tail.size(), tail.size(), tail) == 0;
    };
    return !endsWith("Folder") && !endsWith("FOLDER");
}

// Forwards the total-files bar to the sink when nobody shows the save's own progress.
class SinkProgress final : public SaveProgress {
public:
    explicit SinkProgress(EngineSink& sink) : m_throttle(sink) {}
    ~SinkProgress() override { m_throttle.flush(); }
    void fileShown(std::string_view, std::string_view) override {}
    void bytesText(std::string_view) override {}
    void filesText(std::string_view) override {}
    void currentFileBar(std::uint64_t, std::uint64_t) override {}
    void totalFilesBar(std::uint64_t done, std::uint64_t total) override { m_throttle.update(done, total); }

private:
    ProgressThrottle m_throttle;
};

// Puts back what the walk borrowed from the caller's context.
class ContextRestore {
public:
    explicit ContextRestore(SaveContext& ctx) : m_ctx(ctx), m_sink(ctx.sink), m_progress(ctx.progress) {}
    ~ContextRestore() {
        m_ctx.sink = m_sink;
        m_ctx.progress = m_progress;
    }
    ContextRestore(const ContextRestore&) = delete;
    ContextRestore& operator=(const ContextRestore&) = delete;

private:
    SaveContext& m_ctx;
    EngineSink* m_sink;
    SaveProgress* m_progress;
};

bool isRealDirectory(const fs::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class Walk {
public:
    Walk(Session& session, const fs::path& destination, SaveContext& ctx, EngineSink& sink)
        : m_session(session), m_destination(fs::absolute(destination).lexically_normal()), m_ctx(ctx), m_sink(sink) {}

    // Lists the folders to save, in pre-order, and counts their files.
    std::vector<FolderJob> collect(bool checkedOnly) {
        std::vector<FolderJob> jobs;
        const ItemTree& tree = m_session.recovered.tree;
        const ItemId root = tree.firstItem();
        if (root == kNoItem) return jobs;

        struct Pending {
            ItemId item;
            std::size_t parentJobChain;  // index into chains, or npos for "Root"
            bool inSelection;
        };
        // Path chains are kept apart from jobs so unsaved ancestors still give their components.
        std::vector<std::vector<std::pair<ItemId, std::string>>> chains;
        constexpr std::size_t kNone = static_cast<std::size_t>(-1);
        std::vector<Pending> stack{{root, kNone, false}};
        std::unordered_set<ItemId> seenItems;
        std::set<std::pair<std::uint32_t, std::uint64_t>> seenFolders;

        while (!stack.empty() && !m_ctx.stopAll) {
            const Pending p = stack.back();
            stack.pop_back();
            // The same folder twice (a repeated item, or one folder under two items) is saved once.
            if (!tree.valid(p.item) || !seenItems.insert(p.item).second) continue;
            std::vector<std::pair<ItemId, std::string>> chain;
            if (p.item != root) {
                const auto node = m_session.recovered.nodeOf(p.item);
                if (node != fsrecovery::kNoNode) {
                    const auto& folder = m_session.recovered.folders[node];
                    if (!seenFolders.insert({folder.selfCluster, folder.cluster0Start}).second) continue;
                }
                if (p.parentJobChain != kNone) chain = chains[p.parentJobChain];
                chain.emplace_back(p.item, safeComponent(tree.label(p.item)));
            }
            const bool save = !checkedOnly || p.inSelection || tree.item(p.item).stateImage == kCheckedState;
            if (save) {
                // Listing also names the folder's child folders, so it comes before they are pushed.
                fsrecovery::FolderListingWorker(m_session, p.item, m_sink);
                FolderJob job{chain, {}};
                const WorkTable& list = m_session.itemList;
                for (std::size_t r = 0; r < list.rowCount(); ++r)
                    if (isFileRow(list.row(r))) job.files.push_back(list.row(r));
                m_ctx.totalFileCount += job.files.size();
                jobs.push_back(std::move(job));
            }
            chains.push_back(std::move(chain));
            const std::size_t chainIndex = chains.size() - 1;
            const auto& children = tree.children(p.item);
            for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back({*it, chainIndex, save});
        }
        return jobs;
    }

    void save(const std::vector<FolderJob>& jobs, SaveSummary& summary) {
        const fsrecovery::Session& session = m_session;
        const SourceVolume source{session.devices, session.devicePath(), session.params()};
        const std::string& partType = session.params().partType;
        const bool fat = partType == "FAT16" || partType == "FAT32";
        const bool ntfs = partType == "NTFS";

        for (const FolderJob& job : jobs) {
            if (m_ctx.stopAll) break;
            const auto dir = folderFor(job, summary);
            if (!dir) continue;
            for (const auto& row : job.files) {
                if (m_ctx.stopAll) break;
                const std::string name = safeComponent(row[fsrecovery::kItName]);
                const fs::path out = *dir / name;
                if (!isInside(m_destination, out)) continue;
                const std::uint64_t size = parseU64(row[fsrecovery::kItSize]);
                const std::uint64_t location = parseU64(row[fsrecovery::kItHidden1]);
                // Deep Search rows name the FAT volume they were listed from; its layout must be
                // loaded before the file's clusters mean anything.
                if (fat && m_session.isDeepFat() && !row[fsrecovery::kItFileSys].empty())
                    fsrecovery::LoadDeepVolume(m_session, parseU64(row[fsrecovery::kItFileSys]) + 1);
                ExtractOutcome outcome;
                if (fat)
                    outcome = ExtractFatFile(source, m_ctx, out.string(), name, size,
                                             static_cast<std::uint32_t>(location), true);
                else if (ntfs)
                    outcome = ExtractNtfsFile(source, m_ctx, out.string(), name, size, location, true);
                if (detail::isNoSpace(outcome.error)) summary.diskFull = true;
                if (!outcome.created) continue;
                ++summary.filesWritten;
                summary.bytesWritten += outcome.bytes;
                summary.files.push_back({fs::path(outcome.path).lexically_relative(m_destination).generic_string(),
                                         size, row[fsrecovery::kItDeleted] == "1", location, outcome.bytes,
                                         outcome.complete});
            }
        }
    }

private:
    // The folder of a job, made with its missing parents; nullopt when it cannot be made.
    std::optional<fs::path> folderFor(const FolderJob& job, SaveSummary& summary) {
        fs::path dir = m_destination;
        for (const auto& [item, component] : job.chain) {
            if (const auto it = m_made.find(item); it != m_made.end()) {
                dir = it->second;
                continue;
            }
            const auto made = makeFolder(dir / component, summary);
            if (!made) return std::nullopt;
            dir = *made;
            m_made.emplace(item, dir);
        }
        return dir;
    }

    std::optional<fs::path> makeFolder(fs::path path, SaveSummary& summary) {
        if (!isInside(m_destination, path)) return std::nullopt;
        if (isRealDirectory(path)) return path;
        // Taken by a file or a link: a link would lead the save out of the destination.
        if (pathOccupied(path.string())) path = BuildCollisionName(path.string(), 0);
        if (::mkdir(path.c_str(), 0755) == 0) {
            ++summary.foldersCreated;
            return path;
        }
        if (detail::isNoSpace(errno)) {
            summary.diskFull = true;
            detail::reportDiskFull(m_ctx);
        }
        return std::nullopt;
    }

    Session& m_session;
    fs::path m_destination;
    SaveContext& m_ctx;
    EngineSink& m_sink;
    std::unordered_map<ItemId, fs::path> m_made;
};

} // namespace

SaveSummary saveTree(Session& session, const std::filesystem::path& destination, SaveContext& ctx, EngineSink& sink,
                     std::stop_token stop, bool checkedOnly) {
    SaveSummary summary;
    if (!isRealDirectory(destination) && !fs::is_directory(destination)) {
        sink.message(MessageKind::Information, kInvalidDestination);
        return summary;
    }
    ContextRestore restore(ctx);
    SinkProgress sinkProgress(sink);
    ctx.sink = &sink;
    if (!ctx.progress) ctx.progress = &sinkProgress;
    ctx.previewMode = false;
    ctx.stopAll = false;
    ctx.skipCurrent = false;
    ctx.collisionAnswer = CollisionAnswer::Overwrite;
    ctx.savedFileCount = 0;
    ctx.totalFileCount = 0;
    ctx.totalBarPosition = 0;
    std::stop_callback onStop(stop, [&ctx] { ctx.stopAll = true; });

    Walk walk(session, destination, ctx, sink);
    const auto jobs = walk.collect(checkedOnly);
    walk.save(jobs, summary);
    summary.stopped = ctx.stopAll || stop.stop_requested();
    return summary;
}

} // namespace snapmend::saving
