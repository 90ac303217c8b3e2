#include "table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "os/syscall.h"

namespace zax::omik {
namespace {

// The file: a header, the entries, and a checksum of everything before it.
// Numbers in the machine's byte order (the file never leaves the machine).
constexpr char kMagic[8] = {'Z', 'A', 'X', 'O', 'M', 'T', 'B', 'L'};
constexpr uint32_t kVersion = 1;

struct FileHeader {
    char magic[8];
    uint32_t version;
    uint32_t count;
};
struct FileEntry {
    char name[16];  // zero-terminated, rest zero
    uint32_t first, second, uid, zero;
};
static_assert(sizeof(FileHeader) == 16 && sizeof(FileEntry) == 32);

uint32_t checksum(const char *p, size_t n) {  // FNV-1a
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ uint8_t(p[i])) * 16777619u;
    return h;
}

// Whole-file read of an open descriptor.
int read_all(int fd, std::vector<char> &out) {
    char buf[8192];
    for (;;) {
        ssize_t r = os::sys::retry([&] { return read(fd, buf, sizeof buf); });
        if (r < 0) return errno;
        if (r == 0) return 0;
        out.insert(out.end(), buf, buf + r);
    }
}

int write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t r = os::sys::retry([&] { return write(fd, p, n); });
        if (r < 0) return errno;
        p += r;
        n -= size_t(r);
    }
    return 0;
}

// Parses a file's bytes into entries; false when it is not a whole table.
bool parse(const std::vector<char> &bytes, std::map<std::string, Entry> &out) {
    FileHeader h;
    if (bytes.size() < sizeof h + 4) return false;
    std::memcpy(&h, bytes.data(), sizeof h);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.version != kVersion) return false;
    if (h.count > kMaxEntries || bytes.size() != sizeof h + h.count * sizeof(FileEntry) + 4)
        return false;
    uint32_t sum;
    std::memcpy(&sum, bytes.data() + bytes.size() - 4, 4);
    if (sum != checksum(bytes.data(), bytes.size() - 4)) return false;
    for (uint32_t i = 0; i < h.count; ++i) {
        FileEntry e;
        std::memcpy(&e, bytes.data() + sizeof h + i * sizeof e, sizeof e);
        if (std::memchr(e.name, 0, sizeof e.name) == nullptr || e.first == 0 || e.second == 0)
            return false;
        if (!out.emplace(std::string(e.name), Entry{e.first, e.second, e.uid}).second)
            return false;  // a name twice
    }
    return true;
}

}  // namespace

int read_table_file(const std::string &path, std::map<std::string, Entry> &out) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    std::vector<char> bytes;
    struct stat st;
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode) ||
             uint64_t(st.st_size) > sizeof(FileHeader) + kMaxEntries * sizeof(FileEntry) + 4)
        err = EBADMSG;
    else
        err = read_all(fd, bytes);
    close(fd);
    if (err == 0 && !parse(bytes, out)) err = EBADMSG;
    return err;
}

VectorTable::VectorTable(std::string dir) : dir_(std::move(dir)) {}

int VectorTable::load(std::string &note) {
    const std::string path = dir_ + "/" + kTableName;
    // O_NONBLOCK: a FIFO put under the name must not stop the start.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    const char *why = nullptr;
    if (fd < 0) {
        if (errno == ENOENT) return 0;
        if (errno != ELOOP) return errno;
        why = "a symbolic link";
    } else {
        std::vector<char> bytes;
        std::map<std::string, Entry> entries;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            why = "not a regular file";
        else if (st.st_uid != geteuid())
            why = "owned by another user";
        else if (read_all(fd, bytes) != 0 || !parse(bytes, entries))
            why = "not a whole table";
        close(fd);
        if (why == nullptr) {
            entries_ = std::move(entries);
            return 0;
        }
    }
    // Keep it for a person to look at, and start empty. The name must be
    // free for the service's own file, or the service cannot keep its table.
    const std::string bad = dir_ + "/" + kTableBadName;
    if (rename(path.c_str(), bad.c_str()) != 0 && unlink(path.c_str()) != 0) return errno;
    note = path + ": " + why + "; put aside as " + kTableBadName + ", starting with an empty table";
    return 0;
}

// Writes the whole table under the temporary name, makes it durable, and
// puts it in place with rename: at every moment the file's name holds either
// the previous table or the new one, whole, whatever happens to the process
// or the machine in between.
int VectorTable::save() {
    std::vector<char> bytes(sizeof(FileHeader) + entries_.size() * sizeof(FileEntry));
    FileHeader h;
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.count = uint32_t(entries_.size());
    std::memcpy(bytes.data(), &h, sizeof h);
    size_t off = sizeof h;
    for (const auto &[name, e] : entries_) {
        FileEntry fe{};
        std::memcpy(fe.name, name.data(), name.size());  // at most 15 bytes
        fe.first = e.first;
        fe.second = e.second;
        fe.uid = e.uid;
        std::memcpy(bytes.data() + off, &fe, sizeof fe);
        off += sizeof fe;
    }
    uint32_t sum = checksum(bytes.data(), bytes.size());
    bytes.insert(bytes.end(), reinterpret_cast<char *>(&sum), reinterpret_cast<char *>(&sum) + 4);

    const std::string path = dir_ + "/" + kTableName;
    const std::string temp = dir_ + "/" + kTableTempName;
    // A temporary file left by a crash (or put there by someone else) goes
    // first; O_EXCL then makes sure the file written is a new one of ours.
    if (unlink(temp.c_str()) != 0 && errno != ENOENT) return errno;
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    int err = write_all(fd, bytes.data(), bytes.size());
    if (err == 0 && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        unlink(temp.c_str());
        return err;
    }
    // The rename itself is durable once the directory is.
    int dfd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 0;
}

long VectorTable::forget(const std::vector<std::string> &names) {
    std::map<std::string, Entry> gone;
    for (const std::string &n : names)
        if (auto it = entries_.find(n); it != entries_.end()) gone.insert(entries_.extract(it));
    if (gone.empty()) return 0;
    if ((save_error_ = save()) != 0) {
        entries_.merge(gone);
        return -1;
    }
    return long(gone.size());
}

uint16_t VectorTable::handle(Message &m, uint32_t uid,
                             const std::function<bool(uint32_t)> &may_change) {
    // A name must end within its 16 bytes; the client allows 8 characters.
    if (std::memchr(m.name, 0, sizeof m.name) == nullptr) return kStatusBadRequest;
    const std::string name(m.name);
    auto it = entries_.find(name);
    switch (m.operation) {
    case kOpLookup:
        if (it == entries_.end()) return kStatusNoEntry;
        m.first = it->second.first;
        m.second = it->second.second;
        return kStatusOk;
    case kOpRegister: {
        if (m.first == 0 || m.second == 0) return kStatusBadRequest;
        if (it == entries_.end()) {
            if (entries_.size() >= kMaxEntries) return kStatusFull;
            it = entries_.emplace(name, Entry{m.first, m.second, uid}).first;
            if ((save_error_ = save()) != 0) {
                entries_.erase(it);
                return kStatusNotKept;
            }
            return kStatusOk;
        }
        if (!may_change(it->second.uid)) return kStatusDenied;
        const Entry before = it->second;
        if (before.first == m.first && before.second == m.second && before.uid == uid)
            return kStatusOk;  // nothing to write
        it->second = Entry{m.first, m.second, uid};
        if ((save_error_ = save()) != 0) {
            it->second = before;
            return kStatusNotKept;
        }
        return kStatusOk;
    }
    case kOpRemove: {
        if (it == entries_.end()) return kStatusNoEntry;
        if (!may_change(it->second.uid)) return kStatusDenied;
        const Entry before = it->second;
        entries_.erase(it);
        if ((save_error_ = save()) != 0) {
            entries_.emplace(name, before);
            return kStatusNotKept;
        }
        return kStatusOk;
    }
    default:
        return kStatusUnknownOperation;
    }
}

}  // namespace zax::omik
