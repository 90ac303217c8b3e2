// Loadable modules (dlopen) and message catalogs (catopen), behind one kind
// of handle so that a single unload call serves both.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zax::os {

struct Module;

// Load the shared object name (the dynamic loader's search rules apply,
// symbols resolved at once). 0 or an errno: the loader's own when it left
// one, else ENOENT.
[[nodiscard]] int module_load(const char *name, Module **out);
// Open the message catalog name (a path, or a name that NLSPATH resolves).
// 0 or errno.
[[nodiscard]] int module_load_catalog(const char *name, Module **out);
// Release either kind; the handle is gone even when the release fails.
// 0, EINVAL for something that is no live module, or the loader's errno.
[[nodiscard]] int module_unload(Module *m);
// The address of the exported symbol name: 0 with *addr, or ENOENT when the
// module has no such symbol (EINVAL for a message catalog).
[[nodiscard]] int module_symbol(Module *m, const char *name, void **addr);
// Copy message number of set 1 of a catalog into buf (at most size - 1
// bytes and a zero): 0, ENOMSG when the catalog has no such message,
// EINVAL when m is no catalog.
[[nodiscard]] int module_message(Module *m, uint32_t number, char *buf, size_t size);

// Another reference to a loaded code module, which keeps its code mapped
// until module_unpin, however often the module itself is unloaded. Null
// for a catalog or a failure.
void *module_pin(Module *m);
void module_unpin(void *pin);

}  // namespace zax::os
