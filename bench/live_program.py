# The real program for the benchmarks: started with a TAVOLEX_HOME of its own on a free loopback
# port, with one keep-alive client that carries the session cookie.
import http.client
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LiveProgram:
    def __init__(self, build):
        self.home = tempfile.mkdtemp(prefix="tavolex-bench-")
        self.port = free_port()
        with open(os.path.join(self.home, "settings.ini"), "w") as f:
            f.write("[WebServer]\nPort=%d\n" % self.port)
        env = dict(os.environ, TAVOLEX_HOME=self.home, TAVOLEX_BROWSER="none")
        self.process = subprocess.Popen([os.path.join(build, "tavolex")], env=env)
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.1).close()
                break
            except OSError:
                time.sleep(0.05)
        self.connection = http.client.HTTPConnection("127.0.0.1", self.port)
        self.cookie = ""
        self.request("GET", "/api/account/issessionvalid")

    def raw(self, method, path, body=None, content_type=None):
        """The answer's status and bytes."""
        headers = {"Cookie": "tavolexs_sess=" + self.cookie} if self.cookie else {}
        if content_type:
            headers["Content-Type"] = content_type
        self.connection.request(method, path, body=body, headers=headers)
        answer = self.connection.getresponse()
        data = answer.read()
        cookie = answer.getheader("Set-Cookie")
        if cookie:
            self.cookie = cookie.split("=", 1)[1].split(";", 1)[0]
        if answer.getheader("Connection") == "close":
            self.connection.close()
        return answer.status, data

    def request(self, method, path, body=None):
        """A JSON answer that must say OK; its bytes."""
        status, data = self.raw(method, path, body)
        reply = json.loads(data)
        if status != 200 or reply.get("errorcode") != 200:
            raise RuntimeError("%s %s: %s" % (method, path, data[:200]))
        return data

    def stop(self):
        self.connection.close()
        self.process.terminate()
        self.process.wait()
        shutil.rmtree(self.home, ignore_errors=True)
