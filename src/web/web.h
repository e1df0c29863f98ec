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
//
// The face gathers four headers: request.h (the request and its maps), routes.h (the route
// table and the notices), replies.h (reply operations, uploads, files) and server.h (the engine).
#pragma once

#include "replies.h"
#include "request.h"
#include "routes.h"
#include "server.h"
