// Owners inside the layer: a descriptor, a mapping, a held lock. Each frees
// what it holds when it goes out of scope, so that no exit path of a layer
// function releases by hand; release() hands the resource on to a caller
// that keeps it. Their destructors leave errno as they found it, so that a
// failure's errno survives the cleanup of the scope that returns it.
#pragma once
#include <pthread.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace zax::os {

// A file descriptor, closed when the owner goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    [[nodiscard]] int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes what is held (keeping errno) and holds fd instead.
    void reset(int fd = -1);
    // Closes now; 0 or an errno. EINTR counts as closed: Linux has released
    // the descriptor already, and a retry could close another thread's.
    [[nodiscard]] int close();

private:
    int fd_ = -1;
};

// A shared mapping of a file, unmapped when the owner goes.
class Map {
public:
    Map() = default;
    Map(Map &&o) noexcept : addr_(o.addr_), size_(o.size_) { o.addr_ = nullptr; }
    Map &operator=(Map &&o) noexcept;
    Map(const Map &) = delete;
    Map &operator=(const Map &) = delete;
    ~Map() { reset(); }

    void *get() const { return addr_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return addr_ != nullptr; }
    // Gives the mapping up without unmapping it.
    [[nodiscard]] void *release() {
        void *a = addr_;
        addr_ = nullptr;
        return a;
    }
    void reset();

    // Maps size bytes of fd from offset 0, MAP_SHARED, for reading and (when
    // writable) writing; 0 or an errno.
    [[nodiscard]] static int of(int fd, size_t size, bool writable, Map *out);
    // A private, zero-filled, writable area of size bytes (a stack); 0 or an
    // errno.
    [[nodiscard]] static int anonymous(size_t size, Map *out);

private:
    static int map(size_t size, int prot, int flags, int fd, Map *out);

    void *addr_ = nullptr;
    size_t size_ = 0;
};

// A file (or directory) made under a name of its own, before it is linked or
// renamed into place: the name is removed when the owner goes, unless keep()
// was called. path must outlive the owner.
class TempName {
public:
    enum Kind { kFile, kDirectory };
    explicit TempName(const std::string &path, Kind kind = kFile) : path_(&path), kind_(kind) {}
    ~TempName();
    TempName(const TempName &) = delete;
    TempName &operator=(const TempName &) = delete;
    void keep() { path_ = nullptr; }

private:
    const std::string *path_;
    Kind kind_;
};

// Holds a pthread mutex for a scope.
class Locked {
public:
    explicit Locked(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~Locked() { pthread_mutex_unlock(&m_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    pthread_mutex_t &m_;
};

// Moves a descriptor that landed on 0, 1 or 2 (the program closed a standard
// stream) above them, close-on-exec, so that the standard streams stay
// distinct and 0 can mean "no descriptor". 0, or an errno with fd closed.
[[nodiscard]] int lift(Fd &fd);

// open(2), repeated on EINTR, its descriptor lifted above 2. mode matters
// with O_CREAT only. 0 with *out, or an errno.
[[nodiscard]] int open_fd(const char *path, int flags, mode_t mode, Fd *out);

}  // namespace zax::os
