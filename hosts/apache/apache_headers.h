// The httpd and APR headers the module uses, included in one place.
//
// The command table is written with the designated initialisers that C++20
// shares with C99, so that each directive's handler is type-checked instead
// of being cast to httpd's untyped cmd_func; this must be defined before
// http_config.h is seen.
#pragma once

#ifndef AP_HAVE_DESIGNATED_INITIALIZER
#define AP_HAVE_DESIGNATED_INITIALIZER
#endif

#include <httpd.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_main.h>
#include <http_protocol.h>
#include <http_request.h>
#include <ap_mpm.h>
#include <mod_auth.h>
#include <ap_provider.h>
#include <ap_socache.h>
#include <util_filter.h>
#include <util_mutex.h>
#include <apr_global_mutex.h>
#include <apr_sha1.h>
#include <apr_shm.h>
#include <apr_strings.h>
#include <apr_tables.h>
#include <apr_buckets.h>

// The module record: the one symbol mod_so looks up in the module. The
// module is built with hidden visibility, and a single hidden declaration in
// any file would hide the record, so every file sees this one first.
extern __attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA turnpike_module;
