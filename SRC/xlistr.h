// xlistr: global lists kept on a Redis server, for the keys that the
// library's settings place there. The list functions hand such a list's
// handle to these functions; everything else about it stays theirs.
#pragma once
#include <cstdint>

#include "xlist.h"

namespace zax::remote {

// XCreateGlobalList for a key that the settings place on a Redis server:
// true with the handle (or null, with the error recorded) in *out; false,
// touching nothing, when the key's list lives in shared memory.
bool create(uint32_t capacity, uint32_t key, uint32_t tag, XHANDLE *out);

// The list operations on a handle whose region is of kRemoteType; results
// and errors as their shared-memory forms give them.
int32_t destroy(ListHandle *h);
int32_t add(ListHandle *h, const void *data, uint32_t size, int32_t position, int32_t timeout);
int32_t remove(ListHandle *h, void *buffer, uint32_t buffer_size, int32_t position,
               int32_t timeout);
int32_t peek(ListHandle *h, void *buffer, uint32_t buffer_size, int32_t position, int32_t timeout);
int32_t count(ListHandle *h, int32_t timeout);
int32_t save(ListHandle *h, const char *name, int32_t timeout);
int32_t load(ListHandle *h, const char *name, int32_t timeout);
// X_lock_list and X_unlock_list.
int32_t lock(ListHandle *h);
int32_t unlock(ListHandle *h);

}  // namespace zax::remote
