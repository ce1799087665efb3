// mod_turnpike: the Turnpike filter inside Apache httpd 2.4.
//
//   LoadModule turnpike_module /usr/lib/apache2/modules/mod_turnpike.so
//   TurnpikeRegistryFile /etc/turnpike/turnpike.reg     (optional)
//   TurnpikeCache shmcb:/run/apache2/turnpike(512000)    (optional)
//   TurnpikeScrubHeaders On|Off                          (optional, On)
//   TurnpikeCACertificateFile /etc/turnpike/cas-ca.pem   (optional)
//
//   <Directory /srv/www/app>          (or <Location>, <Files>, .htaccess)
//       AuthType Turnpike
//       Require valid-user            (or: user alice bob; turnpike-attribute NAME VALUE...)
//   </Directory>
//
// The filter runs on every request right after Apache has read its headers,
// before anything maps the URL to a file or a handler, which is where ISAPI's
// pre-processed-headers notification stands under IIS. Before it, every
// request header whose name looks like the identity header (AuthHeader in
// another letter case, or with '_' or '.' for '-') is removed, from every
// request, protected or not: a page the filter does not see as protected
// must not carry a forged identity to an application that reads it
// (TurnpikeScrubHeaders Off leaves unprotected requests as they came). With
// AttributeHeaderPrefix set, every header whose name starts like the prefix
// goes the same way.
//
// Protection by AuthType follows what Apache serves, after Alias, RewriteRule
// [PT] and the rest of its mapping, where the registry's Paths judge the URL
// as sent: the same decision then runs in the authentication phase
// (Authenticate below) and names the user to Apache (r->user), so that
// `Require`, `%u` and REMOTE_USER see who signed on. A request that the
// Paths already let through is not decided again: the sign-on kept with it
// answers the authentication.
//
// Life cycle. Apache reads its configuration twice when it starts (the first
// pass only checks it, the second is the one that serves), re-reads it on
// every restart, and forks child processes that inherit what the parent
// built. So:
//   - `apache2 -t`: check_config loads the settings exactly as a start would
//     and fails the test when they are refused; the events go to standard
//     error, where Apache prints its own configuration errors.
//   - first pass of a start: post_config does the same check, after Apache
//     has opened its error log, so a refused configuration stops the start
//     (before the server detaches, hence with a failing exit status) and the
//     reason is in the error log.
//   - serving pass: post_config starts the filter (started event) and
//     registers its stop on the configuration pool, which Apache clears at a
//     restart and at shutdown (stopped event). The children inherit the
//     started filter and never run its stop.
// The check passes start and stop the filter with the started and stopped
// events silenced, so each appears once per start and stop of the server;
// a refused check still shows the stopped event after its cause. A graceful
// or full restart is a stop and a start of the filter: it reads the .reg
// file again.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "cache/shared_sign_on_store.h"
#include "common/ascii.h"
#include "common/version.h"
#include "config/production_check.h"
#include "filter/filter.h"
#include "hosts/apache/apache_event_log.h"
#include "hosts/apache/apache_filter_host.h"
#include "hosts/apache/apache_headers.h"
#include "hosts/apache/shared_validation_slots.h"
#include "hosts/apache/socache_byte_store.h"
#include "platform/posix/curl_libxml2_validation.h"
#include "platform/posix/posix_stream_socket.h"
#include "platform/posix/reg_file_registry.h"
#include "platform/posix/system_clock.h"
#include "platform/posix/system_random.h"

// Declares turnpike_module, defined at the end, for APLOG_MARK's module tag.
APLOG_USE_MODULE(turnpike);

namespace turnpike {
namespace {

constexpr const char* kRegistryFileRefused = "The Turnpike registry file could not be loaded:";
constexpr const char* kAuthType = "Turnpike";
constexpr const char* kAttributeProvider = "turnpike-attribute";
constexpr const char* kMutexType = "turnpike-cache";
constexpr const char* kDefaultCacheProvider = "shmcb";
// About 5,000 sign-ons; a larger site gives its own size.
constexpr const char* kDefaultCacheSize = "512000";
// What one sign-on without attributes takes of a shmcb cache, as measured
// (tests/apache/test_cache_scale.py --measure): its 20-byte key, 9 bytes
// and the user name, and shmcb's index entry and the room its
// sub-caches leave unused.
constexpr apr_size_t kShmcbBytesPerSignOn = 80;
// Fewer sign-ons than this in a shmcb cache is worth a warning at start-up:
// a site of any size drops sign-ons within the session time.
constexpr apr_size_t kFewestShmcbSignOns = 1000;

// The directives' values. The directives are allowed only in the main
// server's context, so only the main server's record carries them.
struct ModuleConfig {
  const char* registry_file;        // null: $TURNPIKE_REGISTRY, else the default
  const char* ca_certificate_file;  // null: the .reg file's CACertificateFile, if any
  const char* cache_provider_name;  // null: shmcb in the runtime directory
  const char* cache_arguments;      // the provider's own, after the first ':'
  int scrub_headers;                // 0 Off, 1 On, -1 not set (On)
  const ap_socache_provider_t* cache_provider;  // found by check_config
  ap_socache_instance_t* cache_instance;
  const char* cache_name_in_use;
  const char* cache_arguments_in_use;
};

ModuleConfig* ConfigOf(const server_rec* server) {
  return static_cast<ModuleConfig*>(ap_get_module_config(server->module_config, &turnpike_module));
}

std::string RegistryPathOf(const server_rec* server) {
  return ResolveRegistryPath(ConfigOf(server)->registry_file);
}

// Everything the filter borrows, for one configuration generation, in the
// order it must be built (and, reversed, destroyed).
struct FilterRuntime {
  FilterRuntime(const server_rec* log_server, const server_rec* main_server)
      : registry(RegFileRegistry::FromFile(RegistryPathOf(main_server))), event_log(log_server),
        ca_certificate_file(ConfigOf(main_server)->ca_certificate_file) {}

  RegFileRegistry registry;
  ApacheEventLog event_log;
  SystemClock clock;
  SystemRandom random;
  CurlLibxml2ValidationPlatform validation;
  PosixStreamConnector network;
  std::optional<SocacheByteStore> cache;
  std::optional<SharedSignOnStore> store;
  // The serving generation's count of validations across all children.
  std::optional<SharedValidationSlots> validation_slots;
  std::uint32_t default_max_validations = 1;
  std::unique_ptr<TurnpikeFilter> filter;
  // The identity header's name, when every request is to be rid of its
  // look-alikes (TurnpikeScrubHeaders On); null otherwise.
  const char* scrubbed_header = nullptr;
  // TurnpikeCACertificateFile, in the configuration pool; null when not set.
  const char* ca_certificate_file;
  // AttributeHeaderPrefix, when it is set and scrubbed_header is; null
  // otherwise.
  const char* scrubbed_prefix = nullptr;
};

// The generation that serves requests: set by the serving pass's
// post_config in the parent, inherited by every child, cleared by the stop.
FilterRuntime* serving = nullptr;
// The cache's lock for providers that need one; re-attached in each child.
apr_global_mutex_t* cache_mutex = nullptr;

// Builds the filter over `runtime` and runs its start steps. A .reg file
// that was refused is reported first, with its file:line, as the reason the
// settings are then missing.
bool StartFilter(FilterRuntime& runtime) {
  SharedSignOnStore* store = runtime.store ? &*runtime.store : nullptr;
  runtime.filter = std::make_unique<TurnpikeFilter>(PlatformServices{
      .registry = &runtime.registry,
      .event_log = &runtime.event_log,
      .clock = &runtime.clock,
      .validation = &runtime.validation,
      .credentials = store,
      .validation_slots = runtime.validation_slots ? &*runtime.validation_slots : nullptr,
      .default_max_validations = runtime.default_max_validations,
      .reads_request_bodies = true,
      .ca_certificate_file = runtime.ca_certificate_file,
      .network = &runtime.network,
      .random = &runtime.random,
  });
  if (const auto& problem = runtime.registry.problem()) {
    runtime.filter->reporter().LogEvent(EventType::Error, kRegistryFileRefused, problem->c_str());
  }
  if (!runtime.filter->Start()) return false;
  // The store reads the time-outs the start has just loaded; no request
  // comes before the start has finished.
  if (store != nullptr) {
    const FilterSettings& settings = runtime.filter->settings();
    store->Attach(CacheTimeouts{settings.SessionTimeout, settings.CacheCleanTimeout}, runtime.filter->reporter(),
                  settings.OpaqueCookie != 0 ? &runtime.random : nullptr);
  }
  return true;
}

// The start steps as a check: true when the filter would start. Only a
// refusal is visible (its cause, then the stopped event).
bool CheckSettings(const server_rec* log_server, const server_rec* main_server) {
  FilterRuntime runtime(log_server, main_server);
  runtime.event_log.set_lifecycle_events(false);
  const bool started = StartFilter(runtime);
  if (!started) runtime.event_log.set_lifecycle_events(true);
  runtime.filter->Stop();
  return started;
}

// The MPM's answer to `query`, or 1 when it has none.
int MpmFigure(int query) {
  int value = 0;
  return ap_mpm_query(query, &value) == APR_SUCCESS && value > 0 ? value : 1;
}

// Without MaxValidations, half of MaxRequestWorkers (processes times threads
// per process, as the MPM counts them), at least one: however long the CAS
// server hangs, half of the workers stay free for everything else.
std::uint32_t DefaultMaxValidations() {
  const long workers =
      static_cast<long>(MpmFigure(AP_MPMQ_MAX_DAEMONS)) * MpmFigure(AP_MPMQ_MAX_THREADS);
  return static_cast<std::uint32_t>(std::max(1L, workers / 2));
}

// Finds and creates the configured cache; an error text when that fails.
const char* ResolveCache(ModuleConfig& config, apr_pool_t* pconf, apr_pool_t* ptemp) {
  const char* name = config.cache_provider_name;
  const char* arguments = config.cache_arguments;
  if (name == nullptr) {
    name = kDefaultCacheProvider;
    arguments = apr_pstrcat(pconf, ap_runtime_dir_relative(pconf, "turnpike"), "(",
                            kDefaultCacheSize, ")", nullptr);
  }
  const auto* provider = static_cast<const ap_socache_provider_t*>(
      ap_lookup_provider(AP_SOCACHE_PROVIDER_GROUP, name, AP_SOCACHE_PROVIDER_VERSION));
  if (provider == nullptr) {
    return apr_psprintf(ptemp,
                        "TurnpikeCache: no shared object cache provider \"%s\" is loaded "
                        "(load mod_socache_%s with LoadModule)",
                        name, name);
  }
  ap_socache_instance_t* instance = nullptr;
  if (const char* error = provider->create(&instance, arguments, ptemp, pconf)) {
    return apr_psprintf(ptemp, "TurnpikeCache %s: %s", name, error);
  }
  config.cache_provider = provider;
  config.cache_instance = instance;
  config.cache_name_in_use = name;
  config.cache_arguments_in_use = arguments;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Directives

void* CreateServerConfig(apr_pool_t* pool, server_rec*) {
  auto* config = static_cast<ModuleConfig*>(apr_pcalloc(pool, sizeof(ModuleConfig)));
  config->scrub_headers = -1;
  return config;
}

const char* SetRegistryFile(cmd_parms* cmd, void*, const char* path) {
  if (const char* error = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return error;
  // Relative to ServerRoot, as every other path in Apache's configuration.
  const char* resolved = ap_server_root_relative(cmd->pool, path);
  if (resolved == nullptr) {
    return apr_pstrcat(cmd->pool, "TurnpikeRegistryFile: not a valid path: ", path, nullptr);
  }
  ConfigOf(cmd->server)->registry_file = resolved;
  return nullptr;
}

const char* SetCaCertificateFile(cmd_parms* cmd, void*, const char* path) {
  if (const char* error = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return error;
  const char* resolved = ap_server_root_relative(cmd->pool, path);
  if (resolved == nullptr) {
    return apr_pstrcat(cmd->pool, "TurnpikeCACertificateFile: not a valid path: ", path, nullptr);
  }
  ConfigOf(cmd->server)->ca_certificate_file = resolved;
  return nullptr;
}

const char* SetCache(cmd_parms* cmd, void*, const char* value) {
  if (const char* error = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return error;
  ModuleConfig* config = ConfigOf(cmd->server);
  const char* colon = std::strchr(value, ':');
  if (colon == value || *value == '\0') {
    return "TurnpikeCache takes PROVIDER[:ARGUMENTS], for instance shmcb:/run/apache2/turnpike(512000)";
  }
  if (colon == nullptr) {
    config->cache_provider_name = value;
    config->cache_arguments = nullptr;
  } else {
    config->cache_provider_name =
        apr_pstrmemdup(cmd->pool, value, static_cast<apr_size_t>(colon - value));
    config->cache_arguments = colon + 1;
  }
  return nullptr;
}

const char* SetScrubHeaders(cmd_parms* cmd, void*, int on) {
  if (const char* error = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return error;
  ConfigOf(cmd->server)->scrub_headers = on != 0 ? 1 : 0;
  return nullptr;
}

const command_rec kDirectives[] = {
    AP_INIT_TAKE1("TurnpikeRegistryFile", SetRegistryFile, nullptr, RSRC_CONF,
                  "the .reg file holding the Turnpike configuration (default: "
                  "$TURNPIKE_REGISTRY, else /etc/turnpike/turnpike.reg)"),
    AP_INIT_TAKE1("TurnpikeCache", SetCache, nullptr, RSRC_CONF,
                  "where sign-ons are shared: PROVIDER[:ARGUMENTS] of mod_socache, e.g. "
                  "shmcb:/run/apache2/turnpike(512000), memcache:HOST:PORT, redis:HOST:PORT"),
    AP_INIT_TAKE1("TurnpikeCACertificateFile", SetCaCertificateFile, nullptr, RSRC_CONF,
                  "the PEM file of the CAs trusted for the CAS server's certificate, instead of "
                  "the system's store (default: the .reg file's CACertificateFile, if any)"),
    AP_INIT_FLAG("TurnpikeScrubHeaders", SetScrubHeaders, nullptr, RSRC_CONF,
                 "On (default): remove headers that look like the identity header from every "
                 "request; Off: only from the protected requests the filter lets through"),
    {nullptr, {nullptr}, nullptr, 0, RAW_ARGS, nullptr},
};

// ---------------------------------------------------------------------------
// Hooks

// pre_config: registers the cache's mutex type, so that `Mutex` can
// configure it like Apache's own. OK always.
int PreConfig(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*) {
  return ap_mutex_register(pconf, kMutexType, nullptr, APR_LOCK_DEFAULT, 0) == APR_SUCCESS
             ? OK
             : HTTP_INTERNAL_SERVER_ERROR;
}

// check_config: runs in every configuration pass, `apache2 -t` included.
// OK: the cache provider exists and takes its arguments, and under -t the
// filter would start. Anything else stops Apache ("Configuration check
// failed"), with the reason on standard error.
int CheckConfig(apr_pool_t* pconf, apr_pool_t*, apr_pool_t* ptemp, server_rec* server) noexcept {
  try {
    if (const char* error = ResolveCache(*ConfigOf(server), pconf, ptemp)) {
      ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_ERR, 0, nullptr, "%s", error);
      return HTTP_INTERNAL_SERVER_ERROR;
    }
    if (ap_state_query(AP_SQ_RUN_MODE) == AP_SQ_RM_CONFIG_TEST &&
        !CheckSettings(nullptr, server)) {
      return HTTP_INTERNAL_SERVER_ERROR;
    }
    return OK;
  } catch (...) {
    ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_ERR, 0, nullptr,
                 "Turnpike: the configuration could not be checked (out of memory)");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

apr_status_t StopFilter(void* data) noexcept {
  auto* runtime = static_cast<FilterRuntime*>(data);
  if (serving == runtime) serving = nullptr;
  try {
    if (runtime->filter) runtime->filter->Stop();
  } catch (...) {
    // The stop steps free memory and report; nothing of theirs is left to undo.
  }
  delete runtime;
  return APR_SUCCESS;
}

apr_status_t DestroyCache(void* data) noexcept {
  const auto* config = static_cast<const ModuleConfig*>(data);
  config->cache_provider->destroy(config->cache_instance, ap_server_conf);
  return APR_SUCCESS;
}

// A shmcb cache of fewer than kFewestShmcbSignOns sign-ons drops the
// oldest ones long before they expire: those browsers go through the login
// again. Said once per start, with the size that would hold that many.
void WarnOfSmallCache(const ModuleConfig& config, server_rec* server) {
  if (std::strcmp(config.cache_name_in_use, "shmcb") != 0) return;
  const char* arguments = config.cache_arguments != nullptr ? config.cache_arguments : kDefaultCacheSize;
  const char* open = std::strrchr(arguments, '(');
  if (open == nullptr) return;  // shmcb's own default size
  const apr_size_t bytes = static_cast<apr_size_t>(std::strtoull(open + 1, nullptr, 10));
  const apr_size_t sign_ons = bytes / kShmcbBytesPerSignOn;
  if (sign_ons >= kFewestShmcbSignOns) return;
  ap_log_error(APLOG_MARK, APLOG_WARNING, 0, server,
               "TurnpikeCache shmcb: %" APR_SIZE_T_FMT " bytes hold about %" APR_SIZE_T_FMT
               " sign-ons (%" APR_SIZE_T_FMT " bytes each), fewer than %" APR_SIZE_T_FMT
               "; past that the oldest sign-ons are dropped and their browsers sign in again "
               "(%" APR_SIZE_T_FMT " bytes hold %" APR_SIZE_T_FMT ")",
               bytes, sign_ons, kShmcbBytesPerSignOn, kFewestShmcbSignOns,
               kFewestShmcbSignOns * kShmcbBytesPerSignOn, kFewestShmcbSignOns);
}

// Builds the serving generation: the shared cache, its lock, the filter.
int StartServing(apr_pool_t* pconf, apr_pool_t* ptemp, server_rec* server) {
  // The version in a line of its own, beside Apache's "configured -- resuming
  // normal operations", once per start. Not in the Server header
  // (ap_add_version_component): under Apache's default ServerTokens every
  // answer would name the sign-on module and its version to any client.
  ap_log_error(APLOG_MARK, APLOG_NOTICE, 0, server, "mod_turnpike/%s configured", TURNPIKE_VERSION);
  ModuleConfig& config = *ConfigOf(server);
  if (config.cache_provider == nullptr) {
    if (const char* error = ResolveCache(config, pconf, ptemp)) {
      ap_log_error(APLOG_MARK, APLOG_ERR, 0, server, "%s", error);
      return HTTP_INTERNAL_SERVER_ERROR;
    }
  }

  // Tickets of about 30 to 60 bytes become 20-byte ids; a value is 9 bytes
  // and a user name.
  const ap_socache_hints hints{APR_SHA1_DIGESTSIZE, 32, apr_time_from_sec(30)};
  apr_status_t status = config.cache_provider->init(config.cache_instance, kSocacheName, &hints,
                                                    server, pconf);
  if (status != APR_SUCCESS) {
    ap_log_error(APLOG_MARK, APLOG_ERR, status, server,
                 "TurnpikeCache %s: the shared object cache could not be set up",
                 config.cache_name_in_use);
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  apr_pool_cleanup_register(pconf, &config, DestroyCache, apr_pool_cleanup_null);
  WarnOfSmallCache(config, server);

  cache_mutex = nullptr;
  if ((config.cache_provider->flags & AP_SOCACHE_FLAG_NOTMPSAFE) != 0) {
    status = ap_global_mutex_create(&cache_mutex, nullptr, kMutexType, nullptr, server, pconf, 0);
    if (status != APR_SUCCESS) {
      ap_log_error(APLOG_MARK, APLOG_ERR, status, server,
                   "Turnpike: the lock of the shared credentials cache could not be created");
      return HTTP_INTERNAL_SERVER_ERROR;
    }
  }

  auto* runtime = new FilterRuntime(server, server);
  // Registered before the start: a refused start must still run the stop
  // steps, and they run when Apache, exiting, destroys the pool.
  apr_pool_cleanup_register(pconf, runtime, StopFilter, apr_pool_cleanup_null);
  // Every child holds a scoreboard slot, ServerLimit of them; twice as many
  // entries leave room for children that are exiting beside their
  // replacements.
  status = runtime->validation_slots.emplace().Create(
      2 * static_cast<std::size_t>(MpmFigure(AP_MPMQ_HARD_LIMIT_DAEMONS)), pconf);
  if (status != APR_SUCCESS) {
    ap_log_error(APLOG_MARK, APLOG_ERR, status, server,
                 "Turnpike: the shared count of validations could not be set up");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  runtime->default_max_validations = DefaultMaxValidations();
  runtime->cache.emplace(SocacheBinding{config.cache_provider, config.cache_name_in_use,
                                        config.cache_instance, &cache_mutex, server,
                                        config.cache_arguments_in_use});
  runtime->store.emplace(*runtime->cache, runtime->clock);
  if (!StartFilter(*runtime)) return HTTP_INTERNAL_SERVER_ERROR;
  // What turnpike-try --check says, once per start, where an administrator
  // looks after a restart.
  for (const ProductionFinding& finding : CheckForProduction(runtime->filter->settings())) {
    ap_log_error(APLOG_MARK, APLOG_WARNING, 0, server, "Turnpike production check: %s Add: %s",
                 finding.risk.c_str(), finding.line.c_str());
  }
  if (config.scrub_headers != 0) {
    const FilterSettings& settings = runtime->filter->settings();
    runtime->scrubbed_header = apr_pstrdup(pconf, settings.AuthHeader.c_str());
    if (settings.AttributeHeaderPrefix) {
      runtime->scrubbed_prefix = apr_pstrdup(pconf, settings.AttributeHeaderPrefix->c_str());
    }
  }
  serving = runtime;
  return OK;
}

// post_config: runs in the parent after the error logs are open. OK: the
// configuration is good (first pass) or the filter has started (serving
// pass). Anything else stops Apache ("Configuration Failed"), with the
// events that say why in the error log.
int PostConfig(apr_pool_t* pconf, apr_pool_t*, apr_pool_t* ptemp, server_rec* server) noexcept {
  try {
    if (ap_state_query(AP_SQ_MAIN_STATE) == AP_SQ_MS_CREATE_PRE_CONFIG) {
      return CheckSettings(server, server) ? OK : HTTP_INTERNAL_SERVER_ERROR;
    }
    return StartServing(pconf, ptemp, server);
  } catch (...) {
    ap_log_error(APLOG_MARK, APLOG_ERR, 0, server,
                 "Turnpike: the filter could not be started (out of memory)");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

// child_init: a child takes its entry in the shared count of validations and
// re-attaches the cache's lock (some lock mechanisms need a descriptor of
// their own per process). Nothing else is per child.
void ChildInit(apr_pool_t* pchild, server_rec* server) noexcept {
  if (serving != nullptr && serving->validation_slots) {
    serving->validation_slots->AttachChild(getpid());
  }
  if (cache_mutex == nullptr) return;
  const apr_status_t status =
      apr_global_mutex_child_init(&cache_mutex, apr_global_mutex_lockfile(cache_mutex), pchild);
  if (status != APR_SUCCESS) {
    // Every later use of the cache then reports its lock failure, and
    // browsers are sent to log in: nothing passes unchecked.
    ap_log_error(APLOG_MARK, APLOG_ERR, status, server,
                 "Turnpike: this child could not attach the shared credentials cache's lock");
  }
}

// child_status: runs in the parent. A child that has exited, however it
// ended, gives back the validation slots it held.
void ChildStatus(server_rec*, pid_t pid, ap_generation_t, int, mpm_child_status state) noexcept {
  if (state == MPM_CHILD_EXITED && serving != nullptr && serving->validation_slots) {
    serving->validation_slots->ChildExited(pid);
  }
}

// post_read_request: the filter's decision for one request whose headers
// have been read.
//   DECLINED: not protected, or signed on with the identity header now set;
//             Apache goes on with the request as usual.
//   DONE:     an answer has been prepared (a redirect to the CAS login, or
//             back to the page with the cookie, or the sign-on failure page,
//             a 401 for a script, the answer to a CAS logout request);
//             Apache sends it, and no handler runs.
//   500:      the filter failed on this request (its events say why).
// Internal redirects and subrequests are not filtered again: the filter
// judges the URL the browser sent, as ISAPI does, and has already passed or
// answered that request.
int FilterRequest(request_rec* request) noexcept {
  FilterRuntime* runtime = serving;
  if (runtime == nullptr || request->prev != nullptr || request->main != nullptr) return DECLINED;
  try {
    if (runtime->scrubbed_header != nullptr) {
      RemoveLookAlikes(request->headers_in, runtime->scrubbed_header);
      if (runtime->scrubbed_prefix != nullptr) RemovePrefixed(request->headers_in, runtime->scrubbed_prefix);
    }
    ApacheFilterHost host(request, runtime->scrubbed_header != nullptr);
    switch (runtime->filter->HttpFilterProc(host, kSfNotifyPreprocHeaders)) {
      case FilterStatus::FinishedKeepConn:
        return host.answered() ? DONE : HTTP_INTERNAL_SERVER_ERROR;
      case FilterStatus::NextNotification:
        return DECLINED;
      case FilterStatus::Error:
        return HTTP_INTERNAL_SERVER_ERROR;
    }
  } catch (...) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, request,
                  "Turnpike: the request could not be filtered (out of memory)");
  }
  return HTTP_INTERNAL_SERVER_ERROR;
}

// check_authn, for `AuthType Turnpike` (any other type: DECLINED, for the
// module that owns it): the decision the registry's Paths make, on a request
// that Apache's own configuration protects, whatever URL it came by.
//   OK:       signed on; r->user names the user and the identity header
//             carries it, as for the Paths.
//   DONE:     an answer has been prepared (login redirect, cookie redirect,
//             sign-on failure page); Apache sends it.
//   401:      a subrequest (an SSI include, an index lookup) of a request
//             nobody signed on to: it has no answer of its own to send.
//   500:      the filter failed on this request (its events say why).
int Authenticate(request_rec* request) noexcept {
  const char* type = ap_auth_type(request);
  if (type == nullptr || !AsciiEqualsIgnoreCase(type, kAuthType)) return DECLINED;
  FilterRuntime* runtime = serving;
  if (runtime == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
  try {
    // The Paths' decision of this request, or the decision of the request
    // this one serves: a ticket is never validated twice, a cookie never
    // looked up twice.
    const SignOn* sign_on = KeptSignOn(request);
    if (sign_on == nullptr) {
      if (request->main != nullptr) return HTTP_UNAUTHORIZED;
      ApacheFilterHost host(request, runtime->scrubbed_header != nullptr, /*protected_by_server=*/true);
      switch (runtime->filter->FilterRequest(host)) {
        case FilterStatus::FinishedKeepConn:
          return host.answered() ? DONE : HTTP_INTERNAL_SERVER_ERROR;
        case FilterStatus::NextNotification:
          break;
        case FilterStatus::Error:
          return HTTP_INTERNAL_SERVER_ERROR;
      }
      sign_on = KeptSignOn(request);
      if (sign_on == nullptr) return HTTP_INTERNAL_SERVER_ERROR;
    }
    request->user = apr_pstrdup(request->pool, sign_on->user.c_str());
    request->ap_auth_type = apr_pstrdup(request->pool, kAuthType);
    return OK;
  } catch (...) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, request,
                  "Turnpike: the request could not be authenticated (out of memory)");
  }
  return HTTP_INTERNAL_SERVER_ERROR;
}

// `Require turnpike-attribute NAME VALUE...`: granted when the sign-on's
// attribute NAME holds one of the VALUEs; names and values compare exactly,
// as the CAS server released them. A user named by anything but Turnpike
// (another AuthType beside the Paths' sign-on) has no attributes here and
// is denied.
authz_status CheckAttribute(request_rec* request, const char* require_line, const void*) noexcept {
  if (request->user == nullptr) return AUTHZ_DENIED_NO_USER;
  const SignOn* sign_on = KeptSignOn(request);
  if (sign_on == nullptr || sign_on->user != request->user) return AUTHZ_DENIED;
  const char* rest = require_line;
  const char* name = ap_getword_conf(request->pool, &rest);
  const auto attribute = std::find_if(sign_on->attributes.begin(), sign_on->attributes.end(),
                                      [name](const SignOnAttribute& a) { return a.name == name; });
  if (attribute == sign_on->attributes.end()) return AUTHZ_DENIED;
  while (*rest != '\0') {
    const char* wanted = ap_getword_conf(request->pool, &rest);
    if (std::find(attribute->values.begin(), attribute->values.end(), wanted) != attribute->values.end()) {
      return AUTHZ_GRANTED;
    }
  }
  return AUTHZ_DENIED;
}

// A line without a name and a value would deny everyone, silently: refused
// when the configuration is read.
const char* ParseAttributeLine(cmd_parms* cmd, const char* require_line, const void**) {
  const char* rest = require_line;
  const char* name = ap_getword_conf(cmd->temp_pool, &rest);
  if (*name == '\0' || *ap_getword_conf(cmd->temp_pool, &rest) == '\0') {
    return "Require turnpike-attribute takes an attribute's name and one or more values";
  }
  return nullptr;
}

const authz_provider kAttributeAuthz = {&CheckAttribute, &ParseAttributeLine};

void RegisterHooks(apr_pool_t* pool) {
  // mod_http2 puts its own response filters on an HTTP/2 request in this
  // same hook; a redirect answered before that would reach no browser.
  static const char* const after_http2[] = {"mod_http2.c", nullptr};
  RegisterKeptBodyFilter();
  ap_hook_pre_config(PreConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_check_config(CheckConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_post_config(PostConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_child_init(ChildInit, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_child_status(ChildStatus, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_post_read_request(FilterRequest, after_http2, nullptr, APR_HOOK_REALLY_FIRST);
  // Per configuration, as Apache's own authentication modules: an internal
  // request under the same configuration as its parent keeps its user.
  ap_hook_check_authn(Authenticate, nullptr, nullptr, APR_HOOK_MIDDLE, AP_AUTH_INTERNAL_PER_CONF);
  ap_register_auth_provider(pool, AUTHZ_PROVIDER_GROUP, kAttributeProvider, AUTHZ_PROVIDER_VERSION,
                            &kAttributeAuthz, AP_AUTH_INTERNAL_PER_CONF);
}

}  // namespace
}  // namespace turnpike

module AP_MODULE_DECLARE_DATA turnpike_module = {
    STANDARD20_MODULE_STUFF,
    nullptr,                               // per-directory config creator
    nullptr,                               // per-directory config merger
    turnpike::CreateServerConfig,          // per-server config creator
    nullptr,                               // per-server config merger
    turnpike::kDirectives,                 // directives
    turnpike::RegisterHooks,               // hooks
    AP_MODULE_FLAG_NONE,
};
