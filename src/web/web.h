// web: the local web server.
//
// `WebServer` is the engine: it pre-compresses the text files of the `Web` folder on a thread of
// the lowest priority and runs the listener, which binds 127.0.0.1 (and [::1] at the same port
// where there is IPv6) and hands each connection from exactly that address to its own
// connection thread. A connection thread reads HTTP/1.x requests into a `WebRequest` within
// fixed limits (16 KB a line, 64 KB and 100 headers, the 259-byte target), refuses foreign
// hosts and origins and chunked bodies, looks the path up in the `RouteRegistry` (plain,
// upload and JSON-body routes) and otherwise serves a file of the `Web` folder (ETag, 304, one
// range, gzip copies). Handlers answer with the reply operations below; each writes a whole
// response and says whether the connection may stay open.
//
//     tavolex::web::RouteRegistry::Get().RegisterRoute("api/status/checkalive", CheckAlive);
//     tavolex::web::WebServer server(webRoot);  server.Start();  ...  server.Shutdown();
#pragma once

#include "json.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavolex::net {
class NetConnection;
class CancelCheck;
} // namespace tavolex::net

namespace tavolex::web {

// ---------------------------------------------------------------------------------------------
// Notices to the process. Server threads never call into it directly: they post notices to
// one sink that the process installs before the server starts, and it maps them to its own
// events.

enum class ServerNotice {
    Listening,    // the listener bound its port (again)
    BrowserAlive, // the interface polled: it is still open in a browser
};

// The sink is called on the posting thread and must only queue the notice. Without a sink,
// notices are dropped.
void SetNoticeSink(std::function<void(ServerNotice notice)> sink);
void PostNotice(ServerNotice notice);

// ---------------------------------------------------------------------------------------------
// Requests

// Maps compare keys exactly (case-sensitive); texts are UTF-8.
using ParameterMap = std::multimap<std::string, std::string>; // a name may repeat
using CookieMap = std::map<std::string, std::string>;         // a later cookie replaces
using HeaderMap = std::map<std::string, std::string>;         // a later header replaces

// The session layer's slot on one routed request: its session and database handle. The web
// server never looks inside; the request owns it and destroys it when the request ends, which
// gives the handle back.
class RouteResources {
public:
    virtual ~RouteResources() = default;
};

class ConnectionThread;

struct WebRequest {
    ConnectionThread* thread = nullptr;
    net::NetConnection* connection = nullptr;
    const net::CancelCheck* cancel = nullptr; // the connection thread's stop request
    ParameterMap parameters; // query string, and for form routes the body
    CookieMap cookies;
    HeaderMap headers;
    std::string path;        // URL-decoded, without the leading "/", at most 259 units
    uint32_t peerAddress = 0; // IPv4, host byte order
    std::string peerText;     // "%d.%d.%d.%d"
    std::unique_ptr<RouteResources> resources; // the session layer's slot; null until it fills it
    // Cleared before a handler runs; replies set it: true after a complete response that allows
    // another request on the connection.
    bool keepAlive = false;
};

// Map look-ups: the value, or `fallback` when the name is absent (the first entry of a
// repeated parameter).
std::string Get(const ParameterMap& map, std::string_view name, std::string_view fallback = {});
std::string Get(const std::map<std::string, std::string>& map, std::string_view name,
                std::string_view fallback = {});
bool Has(const ParameterMap& map, std::string_view name);
bool Has(const std::map<std::string, std::string>& map, std::string_view name);

// ---------------------------------------------------------------------------------------------
// Routes

using RouteHandler = void (*)(WebRequest& request);
using UploadHandler = void (*)(WebRequest& request); // reads the multipart body itself
// Receives the parsed body; a body that did not parse leaves what was built before the fault,
// and the reader's report is the connection thread's last report.
using JsonRouteHandler = void (*)(WebRequest& request, JsonValue& body);

enum class RouteKind { Plain, Upload, JsonBody };

struct Route {
    RouteKind kind;
    std::string path;
    RouteHandler handler = nullptr;         // Plain and Upload
    JsonRouteHandler jsonHandler = nullptr; // JsonBody
};

// Before a routed request runs its handler, the session layer fills the request's slot (it
// loads the session its cookies name); it installs itself here before the listener starts.
// Without it, handlers run with an empty slot.
class RouteStepHooks {
public:
    virtual ~RouteStepHooks() = default;
    virtual void BeginRoute(WebRequest& request) = 0;
};

// One per process, filled before the listener starts and read without a lock afterwards.
// Paths have no leading "/" and compare exactly.
class RouteRegistry {
public:
    static RouteRegistry& Get();

    void RegisterRoute(std::string_view path, RouteHandler handler);
    void RegisterUploadRoute(std::string_view path);
    void RegisterJsonRoute(std::string_view path, JsonRouteHandler handler);
    void SetUploadHandler(UploadHandler handler);

    // POST looks at JSON-body routes, then upload routes, then plain routes; GET at plain ones.
    const Route* Find(std::string_view path, bool isPost) const;

    void SetHooks(RouteStepHooks* hooks) { hooks_ = hooks; }
    RouteStepHooks* Hooks() const { return hooks_; }
    UploadHandler Uploads() const { return upload_; }

private:
    RouteRegistry();
    std::map<std::string, Route, std::less<>> plain_;
    std::map<std::string, Route, std::less<>> upload_routes_;
    std::map<std::string, Route, std::less<>> json_;
    UploadHandler upload_ = nullptr;
    RouteStepHooks* hooks_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Replies. Each sends a complete response on the request's connection and sets its keep-alive
// flag; false when the response could not be sent within its time limit.

bool SendJson(WebRequest& request, std::string_view utf8);
bool SendOk(WebRequest& request);
bool SendError(WebRequest& request, int code, std::string_view message);
bool SendRedirectError(WebRequest& request, std::string_view message, std::string_view target);
// Sets "errorcode" to 200 and "errormsg" to "OK" in `value` (added or replaced), then sends it.
// When the tree cannot be written, the 200 header goes out with an empty body.
bool SendJsonValue(WebRequest& request, JsonValue& value);
bool SendStatus(WebRequest& request, int code, std::string_view reason);
// The answer that hands the browser its session cookie; an empty `sessionName` is logged as the
// session layer's mistake and sent all the same.
bool SendSessionCookie(WebRequest& request, std::string_view sessionName);
bool SendRedirect(WebRequest& request, std::string_view location);

// ---------------------------------------------------------------------------------------------
// Uploads

// A picture upload holds at most this many bytes.
inline constexpr int64_t kMaxUploadFileBytes = 512000;

// One file part of an upload, kept in a temporary file of its own (mode 0600 in the runtime
// folder) that the caller removes.
struct UploadedFile {
    std::string fieldName;
    std::string fileName;      // the last path component of the part's "filename"
    std::string temporaryPath; // empty when no file could be made; the part's bytes are lost
};

// Reads an upload route's multipart body (the bytes the connection thread buffered first):
// form fields become parameters (replacing one of the same name), file parts temporary files
// in arrival order. True when the close delimiter was reached. A body announced larger than
// a picture and its part headers, or a file part larger than kMaxUploadFileBytes, sets
// `tooLarge`; nothing past the announced length is ever read. Progress is counted for the
// request's "uBrowserID".
bool ReadMultipartUpload(WebRequest& request, std::vector<UploadedFile>& files, bool& tooLarge);
// The parsing half of the reader, over a body already in memory.
bool ParseMultipartBody(std::string_view body, std::string_view boundary, ParameterMap& parameters,
                        std::vector<UploadedFile>& files, bool& tooLarge);
// Adds `delta` bytes read to the browser's entry and sets its total.
void AddUploadProgress(int64_t delta, int64_t total, std::string_view browserId);
// (bytes read, total) of a browser; (0, 0) when it never uploaded.
std::pair<int64_t, int64_t> UploadProgress(std::string_view browserId);
// A 302 to "logon" that brings the visitor back to this page with its parameters.
void RedirectToLogon(WebRequest& request);
// The answer of the "uploadProgress" route (which the session layer registers behind its
// gate): an XML document with the browser's bytesRead and totalBytes.
void SendUploadProgress(WebRequest& request);

// ---------------------------------------------------------------------------------------------
// Static files

struct ContentType {
    std::string_view type;
    bool cacheable; // "max-age=3600" instead of "max-age=0"
    bool isInline;  // no "Content-Disposition: attachment"
};

ContentType LookUpContentType(std::string_view fileName);

// Serves `filePath` (the `Web` folder joined with the request path). Clears the request's
// keep-alive flag when the reply closes the connection; false when the reply was not complete.
bool ServeFile(WebRequest& request, const std::string& filePath, std::string_view ifModifiedSince,
               std::string_view ifNoneMatch);

// Sends a stored picture: its type, cached privately for an hour, never sniffed as another
// type by the browser.
bool SendImageFile(WebRequest& request, std::string_view bytes, std::string_view mimeType);

// Sends generated PDF bytes as a download ("attachment") or for display ("inline").
bool SendPdfDownload(WebRequest& request, std::string_view bytes, std::string_view fileName,
                     bool isInline);

// ---------------------------------------------------------------------------------------------
// The engine

// "Port" of "WebServer" when non-zero, else 1090.
uint16_t EffectivePort();

class Listener;
class WebFolderCompressor;

class WebServer {
public:
    // `webRoot` is the `Web` folder the files are served from.
    explicit WebServer(std::string webRoot);
    virtual ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // The start step of the server engine: logs, then Start() when "Enabled".
    void StartEngine();
    virtual void Start();
    // After the port or the enabled state changed.
    virtual void Restart();
    // Stops the listener and every connection thread (each waited for).
    void Shutdown();

    bool IsListening() const;
    uint16_t ListeningPort() const; // the port bound last (0 before)

private:
    std::string webRoot_;
    std::unique_ptr<Listener> listener_;
    std::unique_ptr<WebFolderCompressor> compressor_;
};

} // namespace tavolex::web
