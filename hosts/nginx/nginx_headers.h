// nginx's headers, for the C++ files of the nginx host.
//
// They are C: declared with C linkage here, and seen as system headers (see
// CMakeLists.txt), so the project's warnings apply to our code only. They
// need the ngx_auto_config.h that nginx's configure wrote for Debian's own
// build flags, which is what makes the module's signature match the nginx
// binary that loads it.
#pragma once

extern "C" {
#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>
#include <ngx_thread_pool.h>
}

#if !(NGX_THREADS)
#error "the nginx host runs ticket validations on an nginx thread pool: nginx must be built --with-threads"
#endif
