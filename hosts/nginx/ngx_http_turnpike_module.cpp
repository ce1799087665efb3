// ngx_http_turnpike_module: the Turnpike filter inside nginx.
//
//   load_module /usr/lib/nginx/modules/ngx_http_turnpike_module.so;
//   http {
//     turnpike_registry_file /etc/turnpike/turnpike.reg;   (optional)
//     turnpike_zone turnpike 1m;                           (optional)
//     turnpike_thread_pool default;                        (optional)
//     turnpike on|off;                                     (http, server, location; off)
//   }
//
// The decision runs in the access phase of every main request, after nginx
// has matched the location. A request is protected when a registry path
// occurs in its URL (as under Apache and IIS), and also when its location
// says `turnpike on`. Before the decision, every request header whose name
// looks like the identity header is removed, from every request, protected
// or not.
//
// Never on the event loop: a returning ticket's validation (a GET of the CAS
// server that may take up to ValidationTimeout) runs on an nginx thread pool.
// The handler posts it and suspends the request; the task's completion event
// resumes the request's phases, and the handler, called again, finishes the
// decision. The core's own validation (libcurl with certificate checks,
// redirect and size limits, libxml2 without network or entities) runs on the
// thread as it does under Apache and IIS. A subrequest through nginx's
// upstream machinery would need an internal location that proxies to the
// CAS server, set up by every administrator, with its own TLS verification,
// redirect and body-size settings, and a second parser of the answer's
// transport; the thread keeps one tested path for every host. What it costs
// is a pool thread per validation in flight, bounded by MaxValidations per
// worker (16 when not set: half of the default pool's 32 threads).
//
// Life cycle. nginx reads its configuration in the master process, at the
// start, at every reload (a new cycle) and for `nginx -t`, and forks workers
// that inherit it:
//   - reading the http block: the filter is built and started with the
//     started and stopped events silenced; a refusal shows its cause and the
//     stopped event, and nginx refuses the configuration (a reload keeps the
//     running one).
//   - init_module, once the new cycle's logs and zones are open (not under
//     -t): the previous cycle's filter, if any, reports its stop, and this
//     one its start, in the new error log.
//   - exit of the master: the stopped event. Workers never report either.
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "cache/shared_sign_on_store.h"
#include "common/version.h"
#include "filter/filter.h"
#include "hosts/nginx/nginx_event_log.h"
#include "hosts/nginx/nginx_filter_host.h"
#include "hosts/nginx/nginx_headers.h"
#include "hosts/nginx/zone_byte_store.h"
#include "platform/memory/recording_event_log.h"
#include "platform/posix/curl_libxml2_validation.h"
#include "platform/posix/reg_file_registry.h"
#include "platform/posix/posix_stream_socket.h"
#include "platform/posix/system_clock.h"
#include "platform/posix/system_random.h"

extern "C" ngx_module_t ngx_http_turnpike_module;

namespace turnpike {
namespace {

constexpr const char* kRegistryFileRefused = "The Turnpike registry file could not be loaded:";
// About 5,000 sign-ons.
constexpr std::size_t kDefaultZoneSize = 1024 * 1024;
constexpr std::uint32_t kDefaultMaxValidations = 16;

ngx_str_t Text(const char* text) noexcept {
  return {std::char_traits<char>::length(text), reinterpret_cast<u_char*>(const_cast<char*>(text))};
}

// Everything the filter borrows, for one configuration cycle, in the order
// it must be built (and, reversed, destroyed).
struct FilterRuntime {
  FilterRuntime(const std::string& registry_path, ngx_shm_zone_t* zone)
      : registry(RegFileRegistry::FromFile(registry_path)), bytes(zone), store(bytes, clock) {}

  RegFileRegistry registry;
  NginxEventLog event_log;
  SystemClock clock;
  SystemRandom random;
  // For a SharedCache of Redis: the master logs in once at start-up and
  // closes the connection, so no worker inherits one.
  PosixStreamConnector network;
  CurlLibxml2ValidationPlatform validation;
  ZoneByteStore bytes;
  SharedSignOnStore store;
  std::unique_ptr<TurnpikeFilter> filter;
  std::string auth_header;
  std::string attribute_prefix;  // AttributeHeaderPrefix; empty when not set
  ngx_pid_t started_by = 0;  // the process that reported the start
  bool stopped = false;
};

struct MainConf {
  ngx_str_t registry_file;  // data null: $TURNPIKE_REGISTRY, else the default
  ngx_shm_zone_t* zone;
  ngx_str_t thread_pool_name;  // data null: nginx's default pool
  ngx_thread_pool_t* thread_pool;
  FilterRuntime* runtime;
};

struct LocConf {
  ngx_flag_t on;
};

// The cycle whose filter has reported its start, in the master process.
FilterRuntime* serving = nullptr;

// Reports the stop (when this process reported the start) and runs the
// stop steps, once.
void StopFilter(FilterRuntime& runtime, ngx_log_t* log) noexcept {
  if (runtime.stopped || !runtime.filter) return;
  runtime.stopped = true;
  runtime.event_log.set_lifecycle_events(runtime.started_by == ngx_pid);
  runtime.event_log.set_target(log);
  try {
    runtime.filter->Stop();
  } catch (...) {
    // The stop steps free memory and report; nothing of theirs is left to undo.
  }
  runtime.event_log.set_target(nullptr);
  if (serving == &runtime) serving = nullptr;
}

void DestroyRuntime(void* data) noexcept {
  auto* runtime = static_cast<FilterRuntime*>(data);
  StopFilter(*runtime, nullptr);
  delete runtime;
}

// ---------------------------------------------------------------------------
// One request

// What a request keeps between the two visits of the handler, in its pool.
struct RequestState {
  std::optional<PendingValidation> pending;
  std::optional<ValidationOutcome> outcome;
  // The validation's events, written on the pool thread and replayed into
  // the request's log on the event loop.
  RecordingEventLog thread_events;
  ngx_str_t user{0, nullptr};  // $turnpike_user
  bool scrubbed = false;
  bool validating = false;
};

void DestroyState(void* data) noexcept { static_cast<RequestState*>(data)->~RequestState(); }

// The request's state, when it has one; an internal redirect clears module
// contexts, so it is also found through its pool cleanup.
RequestState* StateOf(ngx_http_request_t* request) noexcept {
  if (auto* state = static_cast<RequestState*>(ngx_http_get_module_ctx(request, ngx_http_turnpike_module))) {
    return state;
  }
  if (!request->internal) return nullptr;
  for (ngx_pool_cleanup_t* cleanup = request->pool->cleanup; cleanup != nullptr; cleanup = cleanup->next) {
    if (cleanup->handler == DestroyState) {
      auto* state = static_cast<RequestState*>(cleanup->data);
      ngx_http_set_ctx(request, state, ngx_http_turnpike_module);
      return state;
    }
  }
  return nullptr;
}

RequestState* NewState(ngx_http_request_t* request) noexcept {
  ngx_pool_cleanup_t* cleanup = ngx_pool_cleanup_add(request->pool, 0);
  void* memory = ngx_palloc(request->pool, sizeof(RequestState));
  if (cleanup == nullptr || memory == nullptr) return nullptr;
  auto* state = new (memory) RequestState();
  cleanup->handler = DestroyState;
  cleanup->data = state;
  ngx_http_set_ctx(request, state, ngx_http_turnpike_module);
  return state;
}

// The decision's status as the access phase takes it.
//   NGX_DECLINED: not protected; the other access checks decide.
//   NGX_OK:       signed on, the identity header set; access granted.
//   NGX_DONE:     the answer (a redirect, the failure page) has been sent.
//   500:          the filter failed on this request (its events say why).
ngx_int_t Conclude(ngx_http_request_t* request, const NginxFilterHost& host, FilterStatus status) noexcept {
  switch (status) {
    case FilterStatus::NextNotification:
      return host.identity_set() ? NGX_OK : NGX_DECLINED;
    case FilterStatus::FinishedKeepConn:
      if (!host.answer()) return NGX_HTTP_INTERNAL_SERVER_ERROR;
      ngx_http_finalize_request(request, SendRecordedAnswer(request, *host.answer()));
      return NGX_DONE;
    case FilterStatus::Error:
      return NGX_HTTP_INTERNAL_SERVER_ERROR;
  }
  return NGX_HTTP_INTERNAL_SERVER_ERROR;
}

struct ValidationJob {
  TurnpikeFilter* filter;
  RequestState* state;
};

// On a pool thread: the one step that waits.
void ValidateOnThread(void* data, ngx_log_t*) noexcept {
  auto* job = static_cast<ValidationJob*>(data);
  try {
    job->state->outcome.emplace(job->filter->ValidateTicket(*job->state->pending, &job->state->thread_events));
  } catch (...) {
    // No outcome: the handler answers it as a failed validation.
  }
}

// On the event loop, when the thread is done: the request's phases go on
// where they stopped, at this module's access handler. When nginx ended the
// request meanwhile, its write handler is the finalizer instead.
void ValidationDone(ngx_event_t* event) noexcept {
  auto* request = static_cast<ngx_http_request_t*>(event->data);
  ngx_connection_t* connection = request->connection;
  request->main->blocked--;
  request->aio = 0;
  if (RequestState* state = StateOf(request)) state->validating = false;
  request->write_event_handler(request);
  ngx_http_run_posted_requests(connection);
}

ngx_int_t FinishValidation(ngx_http_request_t* request, FilterRuntime& runtime, RequestState& state,
                           bool protected_by_location) {
  NginxFilterHost host(request, protected_by_location, &state.user);
  for (const RecordedEvent& event : state.thread_events.TakeEvents()) {
    const char* strings[2] = {event.message.c_str(), event.detail.c_str()};
    host.RequestEventLog()->Write(nullptr, event.severity, event.category, event.event_id, strings);
  }
  ValidationOutcome outcome = state.outcome ? std::move(*state.outcome)
                                            : ValidationOutcome{std::nullopt, "out of memory"};
  PendingValidation pending = std::move(*state.pending);
  state.pending.reset();
  state.outcome.reset();
  return Conclude(request, host, runtime.filter->FinishRequest(host, std::move(pending), std::move(outcome)));
}

ngx_int_t AccessHandler(ngx_http_request_t* request) noexcept {
  auto* main_conf = static_cast<MainConf*>(ngx_http_get_module_main_conf(request, ngx_http_turnpike_module));
  FilterRuntime* runtime = main_conf->runtime;
  if (runtime == nullptr || !runtime->filter) return NGX_DECLINED;
  const auto* loc_conf = static_cast<LocConf*>(ngx_http_get_module_loc_conf(request, ngx_http_turnpike_module));
  const bool protected_by_location = loc_conf->on == 1;
  try {
    // Only a request that waits for a validation or was given an identity
    // has a state: the other roads allocate nothing here.
    RequestState* state = StateOf(request);
    if (state != nullptr && state->validating) return NGX_DONE;  // woken before the thread is done
    if (state != nullptr && state->pending) return FinishValidation(request, *runtime, *state, protected_by_location);

    // Once per request: after an internal redirect the identity header this
    // handler set is the request's own.
    if (state == nullptr || !state->scrubbed) {
      if (!RemoveLookAlikeRequestHeaders(request, runtime->auth_header)) return NGX_HTTP_INTERNAL_SERVER_ERROR;
      if (!runtime->attribute_prefix.empty() && !RemovePrefixedRequestHeaders(request, runtime->attribute_prefix)) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
      }
    }
    ngx_str_t user{0, nullptr};
    NginxFilterHost host(request, protected_by_location, &user, true);
    FirstStep first = runtime->filter->BeginRequest(host);
    if (!first.pending && !host.identity_set()) return Conclude(request, host, first.status);
    if (state == nullptr && (state = NewState(request)) == nullptr) return NGX_HTTP_INTERNAL_SERVER_ERROR;
    state->scrubbed = true;
    if (host.identity_set()) state->user = user;
    if (!first.pending) return Conclude(request, host, first.status);

    state->pending.emplace(std::move(*first.pending));
    ngx_thread_task_t* task = ngx_thread_task_alloc(request->pool, sizeof(ValidationJob));
    if (task == nullptr) return NGX_HTTP_INTERNAL_SERVER_ERROR;
    *static_cast<ValidationJob*>(task->ctx) = ValidationJob{runtime->filter.get(), state};
    task->handler = ValidateOnThread;
    task->event.handler = ValidationDone;
    task->event.data = request;
    if (ngx_thread_task_post(main_conf->thread_pool, task) != NGX_OK) {
      // nginx has logged the full queue; the browser is answered as for a
      // validation that failed.
      state->outcome.emplace(ValidationOutcome{std::nullopt, "the thread pool's queue was full"});
      return FinishValidation(request, *runtime, *state, protected_by_location);
    }
    // The request may not end while the thread writes into its pool.
    request->main->blocked++;
    request->aio = 1;
    state->validating = true;
    return NGX_DONE;
  } catch (...) {
    ngx_log_error(NGX_LOG_ERR, request->connection->log, 0,
                  "Turnpike: the request could not be filtered (out of memory)");
  }
  return NGX_HTTP_INTERNAL_SERVER_ERROR;
}

ngx_int_t UserVariable(ngx_http_request_t* request, ngx_http_variable_value_t* value, uintptr_t) noexcept {
  const RequestState* state = StateOf(request->main);
  if (state == nullptr || state->user.data == nullptr) {
    value->not_found = 1;
    return NGX_OK;
  }
  value->data = state->user.data;
  // The stores keep no user name near the field's 28 bits.
  value->len = static_cast<unsigned>(state->user.len) & 0x0fffffffu;
  value->valid = 1;
  value->no_cacheable = 0;
  value->not_found = 0;
  return NGX_OK;
}

// ---------------------------------------------------------------------------
// Directives

void* CreateMainConf(ngx_conf_t* cf) noexcept { return ngx_pcalloc(cf->pool, sizeof(MainConf)); }

void* CreateLocConf(ngx_conf_t* cf) noexcept {
  auto* conf = static_cast<LocConf*>(ngx_pcalloc(cf->pool, sizeof(LocConf)));
  if (conf != nullptr) conf->on = NGX_CONF_UNSET;
  return conf;
}

char* MergeLocConf(ngx_conf_t*, void* parent, void* child) noexcept {
  auto* outer = static_cast<LocConf*>(parent);
  auto* inner = static_cast<LocConf*>(child);
  ngx_conf_merge_value(inner->on, outer->on, 0);
  return NGX_CONF_OK;
}

char* SetRegistryFile(ngx_conf_t* cf, ngx_command_t*, void* conf) noexcept {
  auto* main_conf = static_cast<MainConf*>(conf);
  if (main_conf->registry_file.data != nullptr) return const_cast<char*>("is duplicate");
  main_conf->registry_file = static_cast<ngx_str_t*>(cf->args->elts)[1];
  // Relative to nginx's configuration folder, as its other file paths.
  if (ngx_conf_full_name(cf->cycle, &main_conf->registry_file, 1) != NGX_OK) {
    return static_cast<char*>(NGX_CONF_ERROR);
  }
  return NGX_CONF_OK;
}

ngx_shm_zone_t* AddZone(ngx_conf_t* cf, ngx_str_t* name, std::size_t size) noexcept {
  ngx_shm_zone_t* zone = ngx_shared_memory_add(cf, name, size, &ngx_http_turnpike_module);
  if (zone != nullptr) zone->init = ZoneByteStore::InitZone;
  return zone;
}

char* SetZone(ngx_conf_t* cf, ngx_command_t*, void* conf) noexcept {
  auto* main_conf = static_cast<MainConf*>(conf);
  if (main_conf->zone != nullptr) return const_cast<char*>("is duplicate");
  ngx_str_t* value = static_cast<ngx_str_t*>(cf->args->elts);
  const ssize_t size = ngx_parse_size(&value[2]);
  if (size == NGX_ERROR) {
    ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "turnpike_zone: invalid size \"%V\"", &value[2]);
    return static_cast<char*>(NGX_CONF_ERROR);
  }
  if (size < static_cast<ssize_t>(8 * ngx_pagesize)) {
    ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "turnpike_zone: zone \"%V\" is too small (%V); at least %uzk",
                       &value[1], &value[2], 8 * ngx_pagesize / 1024);
    return static_cast<char*>(NGX_CONF_ERROR);
  }
  main_conf->zone = AddZone(cf, &value[1], static_cast<std::size_t>(size));
  if (main_conf->zone == nullptr) return static_cast<char*>(NGX_CONF_ERROR);
  if (main_conf->zone->data != nullptr) {
    ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "turnpike_zone: zone \"%V\" is already used", &value[1]);
    return static_cast<char*>(NGX_CONF_ERROR);
  }
  return NGX_CONF_OK;
}

char* SetThreadPool(ngx_conf_t* cf, ngx_command_t*, void* conf) noexcept {
  auto* main_conf = static_cast<MainConf*>(conf);
  if (main_conf->thread_pool_name.data != nullptr) return const_cast<char*>("is duplicate");
  main_conf->thread_pool_name = static_cast<ngx_str_t*>(cf->args->elts)[1];
  return NGX_CONF_OK;
}

ngx_command_t kDirectives[] = {
    {Text("turnpike"), NGX_HTTP_MAIN_CONF | NGX_HTTP_SRV_CONF | NGX_HTTP_LOC_CONF | NGX_CONF_FLAG,
     ngx_conf_set_flag_slot, NGX_HTTP_LOC_CONF_OFFSET, offsetof(LocConf, on), nullptr},
    {Text("turnpike_registry_file"), NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1, SetRegistryFile,
     NGX_HTTP_MAIN_CONF_OFFSET, 0, nullptr},
    {Text("turnpike_zone"), NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE2, SetZone, NGX_HTTP_MAIN_CONF_OFFSET, 0,
     nullptr},
    {Text("turnpike_thread_pool"), NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1, SetThreadPool,
     NGX_HTTP_MAIN_CONF_OFFSET, 0, nullptr},
    ngx_null_command,
};

// ---------------------------------------------------------------------------
// Life cycle

ngx_int_t PreConfiguration(ngx_conf_t* cf) noexcept {
  ngx_str_t name = Text("turnpike_user");
  ngx_http_variable_t* variable = ngx_http_add_variable(cf, &name, NGX_HTTP_VAR_NOCACHEABLE);
  if (variable == nullptr) return NGX_ERROR;
  variable->get_handler = UserVariable;
  return NGX_OK;
}

// Builds the filter over `runtime` and runs its start steps. A .reg file
// that was refused is reported first, with its file:line, as the reason the
// settings are then missing.
bool StartFilter(FilterRuntime& runtime) {
  runtime.filter = std::make_unique<TurnpikeFilter>(PlatformServices{
      .registry = &runtime.registry,
      .event_log = &runtime.event_log,
      .clock = &runtime.clock,
      .validation = &runtime.validation,
      .credentials = &runtime.store,
      .validation_slots = nullptr,  // each worker counts its own
      .default_max_validations = kDefaultMaxValidations,
      .network = &runtime.network,
      .random = &runtime.random,
  });
  if (const auto& problem = runtime.registry.problem()) {
    runtime.filter->reporter().LogEvent(EventType::Error, kRegistryFileRefused, problem->c_str());
  }
  if (!runtime.filter->Start()) return false;
  const FilterSettings& settings = runtime.filter->settings();
  runtime.store.Attach(CacheTimeouts{settings.SessionTimeout, settings.CacheCleanTimeout},
                       runtime.filter->reporter(), settings.OpaqueCookie != 0 ? &runtime.random : nullptr);
  runtime.auth_header = settings.AuthHeader;
  runtime.attribute_prefix = settings.AttributeHeaderPrefix.value_or("");
  return true;
}

// The end of the http block: the access handler, the thread pool, the zone
// and the filter, started. NGX_ERROR refuses the configuration, after the
// events that say why.
ngx_int_t PostConfiguration(ngx_conf_t* cf) noexcept {
  auto* main_conf = static_cast<MainConf*>(ngx_http_conf_get_module_main_conf(cf, ngx_http_turnpike_module));
  auto* core = static_cast<ngx_http_core_main_conf_t*>(ngx_http_conf_get_module_main_conf(cf, ngx_http_core_module));
  auto* handler = static_cast<ngx_http_handler_pt*>(ngx_array_push(&core->phases[NGX_HTTP_ACCESS_PHASE].handlers));
  if (handler == nullptr) return NGX_ERROR;
  *handler = AccessHandler;

  main_conf->thread_pool =
      ngx_thread_pool_add(cf, main_conf->thread_pool_name.data != nullptr ? &main_conf->thread_pool_name : nullptr);
  if (main_conf->thread_pool == nullptr) return NGX_ERROR;
  if (main_conf->zone == nullptr) {
    ngx_str_t name = Text("turnpike");
    main_conf->zone = AddZone(cf, &name, kDefaultZoneSize);
    if (main_conf->zone == nullptr) return NGX_ERROR;
  }

  try {
    const std::string path = ResolveRegistryPath(
        main_conf->registry_file.data != nullptr ? reinterpret_cast<const char*>(main_conf->registry_file.data)
                                                 : nullptr);
    auto* runtime = new FilterRuntime(path, main_conf->zone);
    ngx_pool_cleanup_t* cleanup = ngx_pool_cleanup_add(cf->pool, 0);
    if (cleanup == nullptr) {
      delete runtime;
      return NGX_ERROR;
    }
    cleanup->handler = DestroyRuntime;
    cleanup->data = runtime;
    runtime->event_log.set_target(cf->log);
    runtime->event_log.set_lifecycle_events(false);
    if (!StartFilter(*runtime)) {
      runtime->event_log.set_lifecycle_events(true);
      runtime->filter->Stop();
      runtime->stopped = true;
      return NGX_ERROR;
    }
    runtime->event_log.set_target(nullptr);
    main_conf->runtime = runtime;
    return NGX_OK;
  } catch (...) {
    ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "Turnpike: the filter could not be started (out of memory)");
    return NGX_ERROR;
  }
}

// In the master, once the new cycle's logs and zones are open.
ngx_int_t InitModule(ngx_cycle_t* cycle) noexcept {
  auto* main_conf = static_cast<MainConf*>(ngx_http_cycle_get_module_main_conf(cycle, ngx_http_turnpike_module));
  if (ngx_test_config || main_conf == nullptr || main_conf->runtime == nullptr) return NGX_OK;
  if (serving != nullptr) StopFilter(*serving, cycle->log);
  FilterRuntime& runtime = *main_conf->runtime;
  runtime.started_by = ngx_pid;
  runtime.event_log.set_target(cycle->log);
  runtime.event_log.set_lifecycle_events(true);
  runtime.filter->reporter().LogEvent(EventType::Started, nullptr, nullptr);
  runtime.event_log.set_target(nullptr);
  serving = &runtime;
  return NGX_OK;
}

void ExitMaster(ngx_cycle_t* cycle) noexcept {
  if (serving != nullptr) StopFilter(*serving, cycle->log);
}

ngx_http_module_t kModuleContext = {
    PreConfiguration,   // preconfiguration
    PostConfiguration,  // postconfiguration
    CreateMainConf,     // create main configuration
    nullptr,            // init main configuration
    nullptr,            // create server configuration
    nullptr,            // merge server configuration
    CreateLocConf,      // create location configuration
    MergeLocConf,       // merge location configuration
};

}  // namespace
}  // namespace turnpike

extern "C" {

ngx_module_t ngx_http_turnpike_module = {
    NGX_MODULE_V1,
    &turnpike::kModuleContext,  // module context
    turnpike::kDirectives,      // module directives
    NGX_HTTP_MODULE,            // module type
    nullptr,                    // init master
    turnpike::InitModule,       // init module
    nullptr,                    // init process
    nullptr,                    // init thread
    nullptr,                    // exit thread
    nullptr,                    // exit process
    turnpike::ExitMaster,       // exit master
    NGX_MODULE_V1_PADDING,
};

// What nginx's load_module looks up in a dynamic module: the only symbols
// the module exports.
__attribute__((visibility("default"))) ngx_module_t* ngx_modules[] = {&ngx_http_turnpike_module, nullptr};
__attribute__((visibility("default"))) char* ngx_module_names[] = {
    const_cast<char*>("ngx_http_turnpike_module"), nullptr};
__attribute__((visibility("default"))) char* ngx_module_order[] = {nullptr};

}
