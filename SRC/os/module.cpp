#include "os/module.h"

#include <dlfcn.h>
#include <link.h>
#include <nl_types.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

namespace zax::os {

namespace {
// Marks a live handle, so that an unload given a handle that was already
// released (or something else) is refused instead of reaching the loader.
constexpr uint32_t kLiveCode = 0x5A4D4F44;     // "ZMOD"
constexpr uint32_t kLiveCatalog = 0x5A434154;  // "ZCAT"
}  // namespace

struct Module {
    uint32_t live;
    void *dl;
    nl_catd cat;
};

int module_load(const char *name, Module **out) {
    std::unique_ptr<Module> m(new (std::nothrow) Module{kLiveCode, nullptr, nl_catd(-1)});
    if (m == nullptr) return ENOMEM;
    errno = 0;
    m->dl = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (m->dl == nullptr) {
        // dlopen does not promise an errno; a missing file usually leaves
        // ENOENT, a broken object ENOEXEC or nothing.
        int err = errno != 0 ? errno : ENOENT;
        dlerror();  // clears the loader's message
        return err;
    }
    *out = m.release();
    return 0;
}

int module_load_catalog(const char *name, Module **out) {
    std::unique_ptr<Module> m(new (std::nothrow) Module{kLiveCatalog, nullptr, nl_catd(-1)});
    if (m == nullptr) return ENOMEM;
    errno = 0;
    m->cat = catopen(name, NL_CAT_LOCALE);
    if (m->cat == nl_catd(-1)) return errno != 0 ? errno : ENOENT;
    *out = m.release();
    return 0;
}

int module_unload(Module *m) {
    if (m == nullptr || (m->live != kLiveCode && m->live != kLiveCatalog)) return EINVAL;
    int err = 0;
    if (m->live == kLiveCode) {
        if (dlclose(m->dl) != 0) {
            err = EINVAL;
            dlerror();
        }
    } else {
        errno = 0;
        if (catclose(m->cat) != 0) err = errno != 0 ? errno : EBADF;
    }
    m->live = 0;
    delete m;
    return err;
}

int module_symbol(Module *m, const char *name, void **addr) {
    if (m == nullptr || m->live != kLiveCode) return EINVAL;
    dlerror();
    void *p = dlsym(m->dl, name);
    // A symbol may legitimately have the address 0; dlerror tells.
    if (p == nullptr && dlerror() != nullptr) return ENOENT;
    if (p == nullptr) return ENOENT;
    *addr = p;
    return 0;
}

int module_message(Module *m, uint32_t number, char *buf, size_t size) {
    if (m == nullptr || m->live != kLiveCatalog || size == 0) return EINVAL;
    if (number > 0x7FFFFFFFu) return ENOMSG;
    errno = 0;
    // catgets gives the default back when the message is missing: a
    // default that no catalog can hold tells the two apart.
    static const char kMissing[] = "";
    const char *text = catgets(m->cat, 1, int(number), kMissing);
    if (text == kMissing) return errno != 0 ? errno : ENOMSG;
    size_t n = std::strlen(text);
    if (n > size - 1) n = size - 1;
    std::memcpy(buf, text, n);
    buf[n] = '\0';
    return 0;
}

void *module_pin(Module *m) {
    if (m == nullptr || m->live != kLiveCode) return nullptr;
    // dlopen of an object already loaded only counts a reference; the
    // loader knows the object by its link map's name.
    struct link_map *map = nullptr;
    if (dlinfo(m->dl, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        dlerror();
        return nullptr;
    }
    void *pin = dlopen(map->l_name[0] != '\0' ? map->l_name : nullptr, RTLD_NOW | RTLD_NOLOAD);
    if (pin == nullptr) dlerror();
    return pin;
}

void module_unpin(void *pin) {
    if (pin != nullptr && dlclose(pin) != 0) dlerror();
}

}  // namespace zax::os
