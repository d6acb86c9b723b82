"""Local stand-ins for the services the alert channels reach, for the black-box tests.

Everything here listens on 127.0.0.1 only and lives inside the test that starts it:

- TestCA: a throw-away certificate authority and one server certificate made with openssl,
  valid for localhost, 127.0.0.1 and the public service names the program sends to.
- SmtpServer: SMTP with STARTTLS and AUTH (aiosmtpd, system Python), recording every message.
- HttpServer: HTTP or HTTPS, recording every request and answering with a chosen status.
- curl_home: a curl config directory that makes the real curl trust TestCA and reach the
  public service names on a local server, without any change in the program.

Each server is a context manager; `with SmtpServer(...) as smtp:` starts it and stops it.
"""

import http.server
import logging
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import warnings

LOOPBACK = "127.0.0.1"

# Names a server certificate is valid for: the loopback names, and the public hosts whose
# connections the curl config redirects to a local server.
CERT_NAMES = ("localhost", "api.telegram.org")

# Environment variables that would send curl through a proxy instead of to the loopback server.
PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                   "ALL_PROXY", "no_proxy", "NO_PROXY")


def free_port():
    """A TCP port on the loopback address that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


class TestCA:
    """A certificate authority and a server certificate signed by it, in `directory`."""

    def __init__(self, directory):
        self.dir = directory
        os.makedirs(directory, exist_ok=True)
        self.ca_cert = os.path.join(directory, "ca.pem")
        self.ca_key = os.path.join(directory, "ca.key")
        self.cert = os.path.join(directory, "server.pem")
        self.key = os.path.join(directory, "server.key")
        self._make()

    def _openssl(self, *args):
        subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)

    def _make(self):
        self._openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                      "-subj", "/CN=hostvigil test CA", "-keyout", self.ca_key,
                      "-out", self.ca_cert)
        csr = os.path.join(self.dir, "server.csr")
        self._openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                      "-keyout", self.key, "-out", csr)
        ext = os.path.join(self.dir, "server.ext")
        names = ",".join([f"DNS:{n}" for n in CERT_NAMES] + [f"IP:{LOOPBACK}"])
        with open(ext, "w") as f:
            f.write(f"subjectAltName={names}\nextendedKeyUsage=serverAuth\n")
        self._openssl("x509", "-req", "-in", csr, "-CA", self.ca_cert, "-CAkey", self.ca_key,
                      "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", self.cert)

    def server_context(self):
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(self.cert, self.key)
        return context


def temporary_ca(case):
    """A throw-away CA in a directory of its own, removed when the test case ends."""
    directory = tempfile.mkdtemp(prefix="hv-ca-")
    case.addCleanup(shutil.rmtree, directory, True)
    return TestCA(directory)


class SharedCA:
    """Test-case mixin: one throw-away CA, cls.ca, for all the tests of a class (making
    certificates takes a while)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.ca_dir = tempfile.mkdtemp(prefix="hv-ca-")
        cls.ca = TestCA(cls.ca_dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.ca_dir, ignore_errors=True)
        super().tearDownClass()


def curl_home(directory, ca=None, redirect=None):
    """Writes `directory`/.curlrc and returns the environment changes that make curl read it.

    ca: a TestCA whose certificate curl trusts. redirect: {"host:port": local_port} sends the
    connections curl makes to that host and port to 127.0.0.1:local_port instead; the host
    name is never looked up. Proxies are switched off, so nothing leaves the machine.
    """
    os.makedirs(directory, exist_ok=True)
    lines = ['noproxy = "*"']
    if ca is not None:
        lines.append(f'cacert = "{ca.ca_cert}"')
    for target, port in (redirect or {}).items():
        host, _, target_port = target.rpartition(":")
        lines.append(f'connect-to = "{host}:{target_port}:{LOOPBACK}:{port}"')
        lines.append(f'resolve = "{host}:{target_port}:{LOOPBACK}"')
    with open(os.path.join(directory, ".curlrc"), "w") as f:
        f.write("\n".join(lines) + "\n")
    return {"CURL_HOME": directory}


def curl_environment(base, directory, ca=None, redirect=None):
    """A copy of the environment `base` with curl_home applied and the proxy variables gone."""
    env = {k: v for k, v in base.items() if k not in PROXY_VARIABLES}
    env.update(curl_home(directory, ca, redirect))
    return env


def local_channels(case, users, webhook=True):
    """For a WorkDir test case: an SMTP server with STARTTLS and these users and, with webhook,
    an HTTP server for the webhooks, both stopped when the case ends, and the case's curl set
    to trust the throw-away CA behind them. Returns (smtp, webhook server or None)."""
    ca = temporary_ca(case)
    smtp = case.enterContext(SmtpServer(tls=ca, users=users))
    hook = case.enterContext(HttpServer()) if webhook else None
    case.env = curl_environment(case.env, os.path.join(case.dir, "curlhome"), ca)
    return smtp, hook


class _Served:
    """A server used as a context manager: started on entry, stopped on exit."""

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()


class SmtpServer(_Served):
    """An SMTP server on 127.0.0.1 that accepts one login and records what it receives.

    tls: a TestCA to offer STARTTLS with (required before AUTH and MAIL), or None for a server
    that offers no TLS at all and AUTH in clear. users: {login: password}.

    Recorded: `messages`, one dict per accepted message with ehlo (the name the client greeted
    with), mail_from, rcpt_tos, login and data (bytes, as received); `auth_attempts`, one (login, password) per AUTH the client
    made; `starttls_count`.
    """

    def __init__(self, tls=None, users=None):
        self.tls = tls
        self.users = dict(users or {})
        self.messages = []
        self.auth_attempts = []
        self.port = None
        self._controller = None
        self._lock = threading.Lock()

    @property
    def url(self):
        return f"smtp://{LOOPBACK}:{self.port}"

    def start(self):
        from aiosmtpd.controller import Controller
        from aiosmtpd.smtp import AuthResult

        server = self

        def authenticator(_smtp, session, _envelope, _mechanism, auth_data):
            login = auth_data.login.decode("utf-8", "replace")
            password = auth_data.password.decode("utf-8", "replace")
            with server._lock:
                server.auth_attempts.append((login, password))
            ok = server.users.get(login) == password
            return AuthResult(success=ok, handled=False, auth_data=login if ok else None)

        class Handler:
            async def handle_DATA(self, _smtp, session, envelope):
                login = session.auth_data
                with server._lock:
                    server.messages.append({
                        "ehlo": session.host_name,
                        "mail_from": envelope.mail_from,
                        "rcpt_tos": list(envelope.rcpt_tos),
                        "login": login,
                        "data": envelope.original_content or envelope.content,
                    })
                return "250 OK"

        # The no-TLS server offers AUTH in clear on purpose; aiosmtpd warns about exactly that.
        warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")
        logging.getLogger("mail.log").setLevel(logging.CRITICAL)
        kwargs = {"authenticator": authenticator, "auth_required": True}
        if self.tls is not None:
            kwargs.update(tls_context=self.tls.server_context(), require_starttls=True,
                          auth_require_tls=True)
        else:
            kwargs.update(auth_require_tls=False)
        last_error = None
        for _ in range(5):  # the chosen port may be taken between probing and binding
            self.port = free_port()
            self._controller = Controller(Handler(), hostname=LOOPBACK, port=self.port,
                                          server_hostname="localhost", **kwargs)
            try:
                self._controller.start()
                return
            except Exception as error:  # noqa: BLE001 - retried with another port
                last_error = error
        raise last_error

    def stop(self):
        if self._controller is not None:
            self._controller.stop()
            self._controller = None

    def received(self):
        with self._lock:
            return list(self.messages)


class HttpServer(_Served):
    """An HTTP server on 127.0.0.1 (HTTPS with `tls`, a TestCA) that records each request and
    answers every one with `status` (changeable while running) and a small JSON body.

    Recorded: `requests`, one dict per request with method, path, headers (a dict with
    lower-case names) and body (bytes).
    """

    def __init__(self, tls=None, status=200):
        self.tls = tls
        self.status = status
        self.requests = []
        self._lock = threading.Lock()
        self._httpd = None
        self._thread = None

    @property
    def port(self):
        return self._httpd.server_address[1]

    @property
    def url(self):
        scheme = "https" if self.tls is not None else "http"
        return f"{scheme}://{LOOPBACK}:{self.port}"

    def start(self):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def _serve(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                with server._lock:
                    server.requests.append({
                        "method": self.command,
                        "path": self.path,
                        "headers": {k.lower(): v for k, v in self.headers.items()},
                        "body": body,
                    })
                    status = server.status
                reply = b'{"ok":%s}' % (b"true" if status < 400 else b"false")
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            do_GET = _serve
            do_POST = _serve

            def log_message(self, *args):
                pass

        self._httpd = http.server.ThreadingHTTPServer((LOOPBACK, 0), Handler)
        self._httpd.daemon_threads = True
        if self.tls is not None:
            self._httpd.socket = self.tls.server_context().wrap_socket(self._httpd.socket,
                                                                       server_side=True)
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)
        self._thread.start()

    def stop(self):
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._thread.join()
            self._httpd = None

    def received(self):
        with self._lock:
            return list(self.requests)


def decode_mail_header(value):
    """A header value with its RFC 2047 encoded words decoded (str)."""
    from email.header import decode_header, make_header
    return str(make_header(decode_header(value)))

