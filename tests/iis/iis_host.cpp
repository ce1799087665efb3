// iis_host.exe DLL: a stand-in for IIS that loads an ISAPI filter and drives
// it through the real ISAPI structures, one request at a time, as a test
// tells it on standard input. Each answer is one JSON line on standard output.
//
//   request<TAB>URL[<TAB>Header:<TAB>value]...   one SF_NOTIFY_PREPROC_HEADERS
//   notify<TAB>TYPE                               another notification, no record
//   var<TAB>NAME<TAB>VALUE                        a server variable for later requests
//   quit                                          FreeLibrary, then exit
//
// At start it prints {"loaded":...} (and with the filter loaded, the version
// record GetFilterVersion filled). Per request it prints the status, the
// response sent through ServerSupportFunction (or null), the request's headers
// afterwards and the callbacks the filter made, in order.
#include <windows.h>
#include <httpfilt.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// The loaded filter; FreeLibrary at the end runs its process detach.
class Library {
 public:
  explicit Library(const char* path) noexcept : module_(LoadLibraryA(path)) {}
  ~Library() { Free(); }
  Library(Library&& other) noexcept : module_(std::exchange(other.module_, nullptr)) {}
  Library& operator=(Library&&) = delete;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  HMODULE get() const noexcept { return module_; }
  void Free() noexcept {
    if (module_ != nullptr) FreeLibrary(std::exchange(module_, nullptr));
  }

 private:
  HMODULE module_;
};

// Bytes above ASCII (code-page text) come out as the code points of the same
// number, so the reader sees exactly the bytes the filter wrote.
std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x80) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// One request as IIS holds it: the headers (names with their colon, "url"
// for the request line's URL), the server variables, and what the filter did.
struct Request {
  std::vector<std::pair<std::string, std::string>> headers;
  std::map<std::string, std::string> variables;
  std::optional<std::pair<std::string, std::string>> response;  // status, header block
  std::string body;  // what WriteClient sent
  std::vector<std::string> calls;

  std::string* Find(const std::string& name) {
    for (auto& header : headers) {
      if (Lower(header.first) == Lower(name)) return &header.second;
    }
    return nullptr;
  }
};

Request& Of(HTTP_FILTER_CONTEXT* context) { return *static_cast<Request*>(context->ServerContext); }

// IIS's contract for both reads: TRUE with the value and its size including
// the NUL; FALSE with ERROR_INSUFFICIENT_BUFFER and the size needed, or with
// ERROR_INVALID_INDEX for a name it does not have.
BOOL CopyOut(const std::string* value, LPVOID buffer, LPDWORD size) {
  if (value == nullptr) {
    SetLastError(ERROR_INVALID_INDEX);
    return FALSE;
  }
  const DWORD needed = static_cast<DWORD>(value->size() + 1);
  if (*size < needed) {
    *size = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, value->c_str(), needed);
  *size = needed;
  return TRUE;
}

BOOL WINAPI GetHeader(HTTP_FILTER_CONTEXT* context, LPSTR name, LPVOID buffer, LPDWORD size) {
  Request& request = Of(context);
  request.calls.push_back(std::string("GetHeader ") + name);
  return CopyOut(request.Find(name), buffer, size);
}

BOOL WINAPI SetHeader(HTTP_FILTER_CONTEXT* context, LPSTR name, LPSTR value) {
  Request& request = Of(context);
  request.calls.push_back(std::string("SetHeader ") + name);
  if (*value == '\0') {  // IIS deletes the header
    std::erase_if(request.headers, [name](const auto& header) { return Lower(header.first) == Lower(name); });
    return TRUE;
  }
  if (std::string* existing = request.Find(name)) {
    *existing = value;
  } else {
    request.headers.emplace_back(name, value);
  }
  return TRUE;
}

BOOL WINAPI AddHeader(HTTP_FILTER_CONTEXT* context, LPSTR name, LPSTR value) {
  Request& request = Of(context);
  request.calls.push_back(std::string("AddHeader ") + name);
  request.headers.emplace_back(name, value);
  return TRUE;
}

BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* context, LPSTR name, LPVOID buffer,
                              LPDWORD size) {
  Request& request = Of(context);
  request.calls.push_back(std::string("GetServerVariable ") + name);
  if (std::string(name) == "ALL_RAW") {
    // Every header line as the client sent it (the request line is not one).
    std::string raw;
    for (const auto& [key, value] : request.headers) {
      if (key != "url") raw += key + " " + value + "\r\n";
    }
    return CopyOut(&raw, buffer, size);
  }
  const auto found = request.variables.find(name);
  return CopyOut(found != request.variables.end() ? &found->second : nullptr, buffer, size);
}

BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT* context, enum SF_REQ_TYPE type, PVOID data,
                                  ULONG_PTR first, ULONG_PTR second) {
  Request& request = Of(context);
  request.calls.push_back("ServerSupportFunction " + std::to_string(static_cast<int>(type)));
  if (type != SF_REQ_SEND_RESPONSE_HEADER || second != 0) return FALSE;
  request.response.emplace(data != nullptr ? static_cast<const char*>(data) : "",
                           first != 0 ? reinterpret_cast<const char*>(first) : "");
  return TRUE;
}

BOOL WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT* context, LPSTR, DWORD) {
  Of(context).calls.push_back("AddResponseHeaders");
  return FALSE;
}

BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT* context, LPVOID data, LPDWORD length, DWORD) {
  Request& request = Of(context);
  request.calls.push_back("WriteClient");
  if (!request.response) return FALSE;
  request.body.append(static_cast<const char*>(data), *length);
  return TRUE;
}

VOID* WINAPI AllocMem(HTTP_FILTER_CONTEXT* context, DWORD, DWORD) {
  Of(context).calls.push_back("AllocMem");
  return nullptr;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

using GetFilterVersionFunction = BOOL(WINAPI*)(PHTTP_FILTER_VERSION);
using HttpFilterProcFunction = DWORD(WINAPI*)(PHTTP_FILTER_CONTEXT, DWORD, LPVOID);

template <class Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void Print(const std::string& line) {
  std::cout << line << std::endl;  // flushed: the test waits for each line
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: iis_host DLL\n";
    return 2;
  }
  Library filter(argv[1]);
  if (filter.get() == nullptr) {
    Print("{\"loaded\":false,\"error\":" + std::to_string(GetLastError()) + "}");
    return 1;
  }
  const auto get_filter_version = Export<GetFilterVersionFunction>(filter.get(), "GetFilterVersion");
  const auto http_filter_proc = Export<HttpFilterProcFunction>(filter.get(), "HttpFilterProc");
  if (get_filter_version == nullptr || http_filter_proc == nullptr) {
    Print("{\"loaded\":true,\"exports\":false}");
    return 1;
  }
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = MAKELONG(0, 8);  // what IIS 8 passes
  const BOOL versioned = get_filter_version(&version);
  Print("{\"loaded\":true,\"exports\":true,\"version\":{\"result\":" +
        std::string(versioned ? "true" : "false") + ",\"filter_version\":" +
        std::to_string(version.dwFilterVersion) + ",\"flags\":" + Json(Hex(version.dwFlags)) +
        ",\"description\":" + Json(version.lpszFilterDesc) + "}}");

  std::map<std::string, std::string> variables = {{"HTTPS", "off"},
                                                  {"SERVER_NAME", "www.example.org"}};
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> fields = Split(line);
    if (fields[0] == "quit") break;
    if (fields[0] == "var" && fields.size() == 3) {
      variables[fields[1]] = fields[2];
      Print("{\"var\":" + Json(fields[1]) + "}");
      continue;
    }
    if (fields[0] == "notify" && fields.size() == 2) {
      const DWORD type = std::stoul(fields[1], nullptr, 0);
      Request request;
      HTTP_FILTER_CONTEXT context{};
      context.cbSize = sizeof context;
      context.ServerContext = &request;
      Print("{\"status\":" + Json(Hex(http_filter_proc(&context, type, nullptr))) + "}");
      continue;
    }
    if (fields[0] != "request" || fields.size() < 2 || fields.size() % 2 != 0) {
      Print("{\"error\":\"bad command\"}");
      continue;
    }

    Request request;
    request.variables = variables;
    request.headers.emplace_back("url", fields[1]);
    for (std::size_t i = 2; i + 1 < fields.size(); i += 2) {
      request.headers.emplace_back(fields[i], fields[i + 1]);
    }
    HTTP_FILTER_CONTEXT context{};
    context.cbSize = sizeof context;
    context.Revision = HTTP_FILTER_REVISION;
    context.ServerContext = &request;
    context.GetServerVariable = GetServerVariable;
    context.AddResponseHeaders = AddResponseHeaders;
    context.WriteClient = WriteClient;
    context.AllocMem = AllocMem;
    context.ServerSupportFunction = ServerSupportFunction;
    HTTP_FILTER_PREPROC_HEADERS headers{};
    headers.GetHeader = GetHeader;
    headers.SetHeader = SetHeader;
    headers.AddHeader = AddHeader;

    const DWORD status = http_filter_proc(&context, SF_NOTIFY_PREPROC_HEADERS, &headers);

    std::string out = "{\"status\":" + Json(Hex(status)) + ",\"response\":";
    out += request.response ? "{\"status\":" + Json(request.response->first) +
                                  ",\"headers\":" + Json(request.response->second) +
                                  ",\"body\":" + Json(request.body) + "}"
                            : "null";
    out += ",\"headers\":{";
    for (std::size_t i = 0; i < request.headers.size(); ++i) {
      out += (i != 0 ? "," : "") + Json(request.headers[i].first) + ":" +
             Json(request.headers[i].second);
    }
    out += "},\"calls\":[";
    for (std::size_t i = 0; i < request.calls.size(); ++i) {
      out += (i != 0 ? "," : "") + Json(request.calls[i]);
    }
    Print(out + "]}");
  }

  filter.Free();
  Print("{\"unloaded\":true}");
  return 0;
}
