// What a handler answers with: the reply operations, uploads and files. Part of web's face
// (web.h).
#pragma once

#include "json.h"
#include "request.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavolex::web {

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

} // namespace tavolex::web
