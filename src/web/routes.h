// The route table the handlers register in, and the notices the server posts to the process.
// Part of web's face (web.h).
#pragma once

#include "json.h"
#include "request.h"

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace tavolex::web {

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

} // namespace tavolex::web
