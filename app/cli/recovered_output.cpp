#include "app/cli/recovered_output.h"

#include "app/cli/command.h"
#include "common/text.h"
#include "fsrecovery/folder_listing.h"
#include "saving/save_walk.h"

#include <filesystem>
#include <iostream>
#include <map>

namespace snapmend::cli {

using fsrecovery::ItemColumn;

int collisionPolicy(const std::optional<std::string>& option) {
    if (!option || *option == "rename") return 5;
    if (*option == "overwrite") return 2;
    if (*option == "skip") return 3;
    throw UsageError("--on-collision takes rename, overwrite or skip, not '" + *option + "'");
}

OutputOptions takeOutputOptions(Args& args) {
    OutputOptions o;
    o.list = args.flag("--list");
    o.json = args.flag("--json");
    o.out = args.option("--out");
    o.collision = collisionPolicy(args.option("--on-collision"));
    return o;
}

int presentRecovered(fsrecovery::Session& session, EngineSink& sink, std::stop_token stop, const OutputOptions& options,
                     const ScanLog& log, bool scanStopped, const std::function<void(nlohmann::json&)>& addJson,
                     const std::function<void(std::ostream&)>& beforeTree) {
    if (scanStopped) sink.message(MessageKind::Information, "Stopped: the folders found so far are kept.");
    RecoveredReport report = collectRecovered(session, sink, options.list || options.json || options.out.has_value());
    const bool logged = !log.path || writeScanLog(session, log.mode, *log.path, sink);
    if (options.out) saveRecovered(session, *options.out, options.collision, sink, stop, report);

    if (options.json) {
        nlohmann::json doc = reportJson(session, report);
        doc["stopped"] = scanStopped || report.saveStopped;
        addJson(doc);
        std::cout << doc.dump(2) << '\n';
    } else {
        if (beforeTree) beforeTree(std::cout);
        printTree(std::cout, session, report, options.list);
        printSummary(std::cout, report);
    }
    if (report.saveFailed || !logged) return kExitFailure;
    return scanStopped || report.saveStopped ? kExitFailure : kExitOk;
}

RecoveredReport collectRecovered(fsrecovery::Session& session, EngineSink& sink, bool listFiles) {
    RecoveredReport report;
    auto& tree = session.recovered.tree;
    std::vector<std::string> names;
    std::vector<bool> deletedAbove;
    NullSink quiet;
    tree.forEach([&](ItemId item, int depth) {
        names.resize(static_cast<std::size_t>(depth));
        deletedAbove.resize(static_cast<std::size_t>(depth));
        RecoveredFolder folder;
        folder.item = item;
        folder.depth = depth;
        for (const auto& n : names) folder.path += (folder.path.empty() ? "" : "/") + n;
        if (depth > 0) folder.path += (folder.path.empty() ? "" : "/") + tree.label(item);
        names.push_back(depth == 0 ? std::string() : tree.label(item));

        // "Root" is always listed, as selecting it would: that listing tells whether nothing was found.
        if (listFiles || depth == 0) {
            // The listing passes a deleted folder's mark down to its subfolders and names them.
            const auto outcome = fsrecovery::FolderListingWorker(session, item, quiet);
            if (depth == 0 && outcome.nothingFound) {
                report.nothingFound = true;
                sink.message(MessageKind::Information, session.isDeepSearch() ? fsrecovery::kDeepNothingFound
                                                                              : fsrecovery::kBasicNothingFound);
            }
        }
        const auto node = session.recovered.nodeOf(item);
        folder.deleted = (node != fsrecovery::kNoNode && session.recovered.folders[node].deleted) ||
                         (depth > 0 && deletedAbove[static_cast<std::size_t>(depth - 1)]);
        deletedAbove.push_back(folder.deleted);
        if (listFiles) {
            const auto& rows = session.itemList;
            for (std::size_t r = 0; r < rows.rowCount(); ++r) {
                if (rows.cell(r, fsrecovery::kItType) == "FOLDER") continue;
                RecoveredFile f;
                const auto& name = rows.cell(r, fsrecovery::kItName);
                f.path = folder.path.empty() ? name : folder.path + "/" + name;
                f.type = rows.cell(r, fsrecovery::kItType);
                f.size = rows.u64At(r, fsrecovery::kItSize);
                f.date = rows.cell(r, fsrecovery::kItDate);
                f.time = rows.cell(r, fsrecovery::kItTime);
                f.deleted = rows.cell(r, fsrecovery::kItDeleted) == "1" || folder.deleted;
                f.location = rows.u64At(r, fsrecovery::kItHidden1);
                folder.files.push_back(report.files.size());
                report.files.push_back(std::move(f));
            }
        }
        report.folders.push_back(std::move(folder));
    });
    return report;
}

namespace {

// The save walk lists every folder, and each listing rewrites the status line with its folder
// counts; on a terminal only the save's own progress and messages are worth reading.
class SaveProgressSink final : public EngineSink {
public:
    explicit SaveProgressSink(EngineSink& inner) : m_inner(inner) {}
    void progress(std::uint64_t done, std::uint64_t total) override { m_inner.progress(done, total); }
    void status(std::string_view) override {}
    void message(MessageKind kind, std::string_view text) override { m_inner.message(kind, text); }
    Answer ask(std::string_view question) override { return m_inner.ask(question); }

private:
    EngineSink& m_inner;
};

} // namespace

void saveRecovered(fsrecovery::Session& session, const std::string& destination, int collisionAnswer,
                   EngineSink& sink, std::stop_token stop, RecoveredReport& report) {
    saving::SaveContext ctx;
    const auto answer = static_cast<saving::CollisionAnswer>(collisionAnswer);
    ctx.resolveCollision = [answer](const std::string&, const std::string& suggested) {
        return saving::CollisionReply{answer, suggested, false};
    };
    std::error_code ec;
    std::filesystem::create_directories(destination, ec);  // the destination the user named
    sink.status("Saving to " + destination);
    SaveProgressSink saveSink(sink);
    ctx.sink = &saveSink;
    const auto saved = saving::saveTree(session, destination, ctx, saveSink, stop, false);
    report.saved = true;
    report.saveStopped = saved.stopped;
    report.saveFailed = saved.diskFull;
    report.foldersSaved = saved.foldersCreated;
    report.filesSaved = saved.filesWritten;
    report.bytesSaved = saved.bytesWritten;

    // Tie each written file back to the listed one by its location on the medium.
    std::multimap<std::pair<std::uint64_t, std::uint64_t>, std::size_t> byLocation;
    for (std::size_t i = 0; i < report.files.size(); ++i)
        byLocation.emplace(std::pair{report.files[i].location, report.files[i].size}, i);
    for (const auto& f : saved.files) {
        const auto it = byLocation.find({f.location, f.size});
        if (it == byLocation.end()) continue;
        report.files[it->second].savedAs = f.relativePath;
        byLocation.erase(it);
    }
}

void printTree(std::ostream& out, const fsrecovery::Session& session, const RecoveredReport& report, bool withFiles) {
    const auto& tree = session.recovered.tree;
    for (const auto& folder : report.folders) {
        out << std::string(static_cast<std::size_t>(folder.depth) * 2, ' ') << tree.label(folder.item);
        if (folder.deleted) out << "  [deleted]";
        out << '\n';
        if (!withFiles) continue;
        for (const auto i : folder.files) {
            const auto& f = report.files[i];
            const auto slash = f.path.rfind('/');
            out << std::string(static_cast<std::size_t>(folder.depth) * 2 + 2, ' ') << "- "
                << (slash == std::string::npos ? f.path : f.path.substr(slash + 1)) << "  |  " << f.type << "  |  "
                << f.size << "  |  " << f.date << "  |  " << f.time;
            if (f.deleted) out << "  [deleted]";
            out << '\n';
        }
    }
}

void printSummary(std::ostream& out, const RecoveredReport& report) {
    const std::uint64_t folders = report.folders.empty() ? 0 : report.folders.size() - 1;
    out << "\n" << folders << " folders";
    if (!report.files.empty() || report.saved) out << ", " << report.files.size() << " files";
    out << " recovered";
    if (report.saved)
        out << "; saved " << report.filesSaved << " files (" << report.bytesSaved << " bytes) in "
            << report.foldersSaved << " folders" << (report.saveStopped ? " before the save stopped" : "");
    out << ".\n";
}

nlohmann::json reportJson(const fsrecovery::Session& session, const RecoveredReport& report) {
    const bool ntfs = session.isNtfs();
    nlohmann::json doc;
    const auto& t = session.target.target;
    doc["fileSystem"] = t.fileSystem;
    doc["startSector"] = t.startSector;
    doc["endSector"] = t.endSector;
    doc["folders"] = report.folders.empty() ? 0 : report.folders.size() - 1;
    doc["files"] = report.files.size();
    doc["bytesSaved"] = report.bytesSaved;
    doc["filesSaved"] = report.filesSaved;
    doc["nothingFound"] = report.nothingFound;
    auto& folders = doc["tree"] = nlohmann::json::array();
    for (const auto& f : report.folders) {
        if (f.depth == 0) continue;
        folders.push_back({{"path", f.path}, {"deleted", f.deleted}});
    }
    auto& files = doc["fileList"] = nlohmann::json::array();
    for (const auto& f : report.files) {
        nlohmann::json j{{"path", f.path}, {"size", f.size}, {"deleted", f.deleted}, {"type", f.type},
                         {"date", f.date}, {"time", f.time}};
        j[ntfs ? "recordSector" : "startCluster"] = f.location;
        if (!f.savedAs.empty()) j["savedAs"] = f.savedAs;
        files.push_back(std::move(j));
    }
    return doc;
}

} // namespace snapmend::cli
