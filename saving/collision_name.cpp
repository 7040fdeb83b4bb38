#include "saving/collision_name.h"

#include <sys/stat.h>

#include "saving/safe_name.h"

namespace snapmend::saving {

namespace {

std::string folderPart(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string namePart(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path the Rename answer writes to: the edited name, reduced to a file name in the colliding
// file's folder. An edit that leaves no usable name falls back to the suggestion.
std::string renamedPath(const std::string& collisionPath, const std::string& edited, const std::string& suggested) {
    const std::string name = namePart(edited);
    if (name.empty()) return suggested;
    return folderPart(collisionPath) + safeComponent(name);
}

} // namespace

bool pathOccupied(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string BuildCollisionName(const std::string& path, std::uint64_t n) {
    const std::string folder = folderPart(path);
    const std::string name = namePart(path);
    const auto dot = name.rfind('.');
    const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);  // with the "."
    // Terminates: a folder cannot hold 2^64 entries.
    for (;; ++n) {
        std::string candidate = folder + stem + "_dd_" + std::to_string(n) + ext;
        if (!pathOccupied(candidate)) return candidate;
    }
}

bool CheckCollision(SaveContext& ctx, std::string& path, std::string& displayName) {
    if (pathOccupied(path)) {
        ctx.collisionPath = path;
        switch (ctx.collisionAnswer) {
            case CollisionAnswer::SkipAll:
                return false;
            case CollisionAnswer::RenameAll:
                path = BuildCollisionName(path, ctx.renameStart);
                break;
            case CollisionAnswer::OverwriteAll:
                break;
            default: {
                const std::string suggested = BuildCollisionName(ctx.collisionPath, ctx.renameStart);
                if (!ctx.resolveCollision) {
                    path = suggested;
                    break;
                }
                CollisionReply reply = ctx.resolveCollision(ctx.collisionPath, suggested);
                if (reply.cancel) {
                    reply.answer = CollisionAnswer::SkipAll;
                    ctx.stopAll = true;
                }
                ctx.collisionAnswer = reply.answer;
                switch (reply.answer) {
                    case CollisionAnswer::Skip:
                    case CollisionAnswer::SkipAll:
                        return false;
                    case CollisionAnswer::Rename:
                    case CollisionAnswer::RenameAll:
                        path = renamedPath(ctx.collisionPath, reply.path, suggested);
                        break;
                    case CollisionAnswer::Overwrite:
                    case CollisionAnswer::OverwriteAll:
                        path = ctx.collisionPath;
                        break;
                    default:  // not an answer the dialog gives: write nothing
                        return false;
                }
            }
        }
        displayName = namePart(path);
    }
    ++ctx.savedFileCount;
    if (!ctx.previewMode && ctx.progress) {
        ctx.progress->filesText(filesText(ctx.savedFileCount, ctx.totalFileCount));
        ctx.progress->fileShown(displayPath(path), displayName);
    }
    return true;
}

} // namespace snapmend::saving
