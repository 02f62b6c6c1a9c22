#pragma once
// An in-memory file system for the rotation logic: files by name, a journal of the changing
// operations, and switches that make single operations fail.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "win/result.h"

namespace kestrune::logging::testing {

struct FakeFile {
    std::string data;
    std::uint64_t extra_size = 0; // counted in the size but not stored (huge files)
    std::uint64_t size() const { return extra_size + data.size(); }
};

struct FakeDisk {
    std::map<std::string, std::shared_ptr<FakeFile>> files;
    std::vector<std::string> journal; // "remove x", "rename x -> y", "open x"

    std::set<std::string> failing_renames; // by source
    std::set<std::string> failing_removes;
    // Held open by someone else without sharing deletion: cannot be held, moved or removed.
    std::set<std::string> unmovable;
    int holds = 0;          // attempts to hold a file for moving
    int failing_opens = 0;  // the next N opens fail
    int failing_writes = 0; // the next N writes fail
    int open_handles = 0;

    void put(const std::string& name, std::string data, std::uint64_t extra_size = 0) {
        files[name] = std::make_shared<FakeFile>(FakeFile{std::move(data), extra_size});
    }
    bool exists(const std::string& name) const { return files.count(name) != 0; }
    std::string data(const std::string& name) const {
        const auto found = files.find(name);
        return found == files.end() ? "<missing>" : found->second->data;
    }
    std::uint64_t size(const std::string& name) const {
        const auto found = files.find(name);
        return found == files.end() ? 0 : found->second->size();
    }
};

// The Files interface of the rotating log, over a FakeDisk the test owns.
struct FakeFiles {
    using Path = std::string;

    // Follows the file it was opened on, as a Windows handle does through a rename.
    class File {
      public:
        File(FakeDisk* disk, std::shared_ptr<FakeFile> file) : disk_(disk), file_(std::move(file)) {
            ++disk_->open_handles;
        }
        File(File&& other) noexcept
            : disk_(std::exchange(other.disk_, nullptr)), file_(std::move(other.file_)) {}
        File& operator=(File&&) = delete;
        ~File() {
            if (disk_ != nullptr) {
                --disk_->open_handles;
            }
        }
        FakeFile& file() { return *file_; }

      private:
        FakeDisk* disk_;
        std::shared_ptr<FakeFile> file_;
    };

    // A file held ready to be moved, by what it is rather than by its name.
    struct Held {
        std::shared_ptr<FakeFile> file;
    };

    FakeDisk* disk = nullptr;

    std::optional<std::uint64_t> size(const std::string& path) const {
        const auto found = disk->files.find(path);
        if (found == disk->files.end()) {
            return std::nullopt;
        }
        return found->second->size();
    }
    Result<File> open(const std::string& path) const {
        disk->journal.push_back("open " + path);
        if (disk->failing_opens > 0) {
            --disk->failing_opens;
            return fail("open failed: " + path);
        }
        auto& slot = disk->files[path];
        if (!slot) {
            slot = std::make_shared<FakeFile>();
        }
        return File(disk, slot);
    }
    Status write(File& file, std::string_view bytes) const {
        if (disk->failing_writes > 0) {
            --disk->failing_writes;
            return fail("write failed");
        }
        file.file().data.append(bytes);
        return {};
    }
    Status remove(const std::string& path) const {
        disk->journal.push_back("remove " + path);
        if (disk->failing_removes.count(path) || disk->unmovable.count(path) ||
            !disk->files.erase(path)) {
            return fail("remove failed: " + path);
        }
        return {};
    }
    Result<Held> hold(const std::string& path) const {
        ++disk->holds;
        const auto found = disk->files.find(path);
        if (found == disk->files.end()) {
            return fail("not found: " + path);
        }
        if (disk->unmovable.count(path)) {
            return fail("sharing violation: " + path);
        }
        return Held{found->second};
    }
    Status move(Held& held, const std::string& to) const {
        auto found = disk->files.begin();
        while (found != disk->files.end() && found->second != held.file) {
            ++found;
        }
        if (found == disk->files.end()) {
            return fail("held file is gone");
        }
        disk->journal.push_back("rename " + found->first + " -> " + to);
        if (disk->failing_renames.count(found->first) || disk->unmovable.count(to)) {
            return fail("rename failed: " + found->first);
        }
        disk->files.erase(found);
        disk->files[to] = held.file;
        return {};
    }
};

} // namespace kestrune::logging::testing
