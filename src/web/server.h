// The server engine: the compressor of the `Web` folder and the listener. Part of web's face
// (web.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tavolex::web {

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
