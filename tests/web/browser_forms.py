#!/usr/bin/env python3
"""Real browsers post real forms to the example CGI program behind real web servers.

    tests/web/browser_forms.py PATH/TO/cgi_form

lighttpd (mod_cgi) and Apache httpd (mod_cgid) each serve the program as
form.cgi, started here on a free loopback port from a configuration in a
temporary directory.  Each server also serves a page whose script fills in
forms (GET, urlencoded POST, multipart POST with files) and submits them one
after another into a frame; the page reads what the program answered and
posts it to a small collector run here.  Headless Chromium loads the page,
then Firefox ESR where it runs (skipped with a note where it does not).  Every
answer must be a whole text/plain UTF-8 page listing exactly what was entered,
files by name, type, size and CRC-32.  Exit status 0 when every answer
matched, 1 otherwise.
"""

import base64
import http.server
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import zlib

CASE_SECONDS = 10  # the most one form's answer may take to arrive
STEP_SECONDS = 90  # the most any browser run or server start may take


def binary_bytes():
    """NUL, CR LF, bytes above 0x7f and lines that start like either
    browser's multipart delimiter without being it."""
    data = bytes((i * 7) & 0xFF for i in range(3000))
    return (data + b"\r\n------WebKitFormBoundaryAAAA\r\n\0"
            + b"\r\n-----------------------------1234--\r\n" + data[:100])


TEXT = [  # (name, value); values go into text inputs unless said otherwise
    ("name", "Ada Lovelace"),
    ("grüße", "Grüße, 日本語 ✓"),
    ("sym", "a=b&c+d %41; \"q\" 100%"),
]
CHECKBOXES = ("cb", [("a", True), ("b", False), ("c", True)])
TEXTAREA = ("message", "line 1\nline 2\n\nlast")  # sent with CR LF line ends
FILES = [  # (input name, [(file name, type, bytes)]); [] is an input left empty
    ("up", [("notes.txt", "text/plain", "hello\nwörld\n".encode()),
            ("data.bin", "application/octet-stream", binary_bytes())]),
    ("empty", [("résumé.txt", "text/plain", b"")]),
    ("none", []),
]


def make_case(case_id, method, enctype, with_files):
    # No textarea in the GET form: lighttpd answers 400 to a query string
    # that holds an escaped control byte, such as a line end.
    with_textarea = method != "get"
    names = [n for n, _ in TEXT] + [CHECKBOXES[0]] + ([TEXTAREA[0]] if with_textarea else [])
    names += ["missing"]
    if with_files:
        names += [n for n, _ in FILES]
    return {
        "id": case_id, "method": method, "enctype": enctype,
        "fields": ",".join(names), "text": TEXT,
        "checkboxes": CHECKBOXES, "textarea": TEXTAREA if with_textarea else None,
        "files": [[n, [[f, t, base64.b64encode(d).decode()] for f, t, d in fs]]
                  for n, fs in FILES] if with_files else [],
    }


CASES = [
    make_case("get", "get", "", False),
    make_case("urlencoded", "post", "application/x-www-form-urlencoded", False),
    make_case("multipart", "post", "multipart/form-data", True),
    # Not decoded: the program answers without reading the body, and the
    # server must still pass the whole answer on.
    make_case("plain", "post", "text/plain", False),
]


def quoted(raw):
    """The example's quoting of a value's bytes as sent."""
    out = ""
    for c in raw.encode():
        if c in (0x22, 0x5C):
            out += "\\" + chr(c)
        elif c == 0x0D:
            out += "\\r"
        elif c == 0x0A:
            out += "\\n"
        elif c < 0x20 or c == 0x7F:
            out += "\\x%02x" % c
        else:
            out += bytes([c]).decode("latin-1")
    return out.encode("latin-1").decode("utf-8")


def expected(case, method):
    if case["enctype"] == "text/plain":  # no fields: the two the example shows then
        return "method: POST\ninit: 0\nname [4]: \nmessage [4]: \n"
    values = {n: [v] for n, v in TEXT}
    values[CHECKBOXES[0]] = [v for v, checked in CHECKBOXES[1] if checked]
    # Browsers send a textarea's line ends as CR LF.
    values[TEXTAREA[0]] = [TEXTAREA[1].replace("\n", "\r\n")]
    files = {n: fs for n, fs in FILES} if case["files"] else {}
    lines = ["method: " + method, "init: 0"]
    for name in case["fields"].split(","):
        if name in files:
            for f, t, d in files[name] or [("", "application/octet-stream", b"")]:
                lines.append('%s: file "%s" %s %d bytes crc32 %08x'
                             % (name, f, t, len(d), zlib.crc32(d)))
            continue
        for i, raw in enumerate(values.get(name, [""])):
            shown = raw.replace("\r", "").replace("\n", "")
            code = 4 if name not in values else (0 if shown else 3)
            label = name if i == 0 else "%s#%d" % (name, i)
            lines.append("%s [%d]: %s" % (label, code, shown))
            if "\r" in raw or "\n" in raw:
                lines.append('%s bytes: "%s"' % (label, quoted(raw)))
    return "\n".join(lines) + "\n"


PAGE = """<!DOCTYPE html>
<meta charset="utf-8"><title>forms</title>
<iframe name="out" id="out"></iframe>
<script>
const CASES = %(cases)s;
const REPORT = "http://127.0.0.1:%(port)d/report/";
const CASE_MS = %(case_ms)d;

function add(form, tag, attrs) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) e[k] = v;
  form.append(e);
  return e;
}

function fill(c) {
  const form = document.createElement("form");
  form.action = "/form.cgi";
  form.method = c.method;
  form.target = "out";
  if (c.enctype) form.enctype = c.enctype;
  add(form, "input", {type: "hidden", name: "fields", value: c.fields});
  for (const [name, value] of c.text) add(form, "input", {name, value});
  const [cbName, boxes] = c.checkboxes;
  for (const [value, checked] of boxes)
    add(form, "input", {type: "checkbox", name: cbName, value, checked});
  if (c.textarea) add(form, "textarea", {name: c.textarea[0], value: c.textarea[1]});
  for (const [name, files] of c.files) {
    const input = add(form, "input", {type: "file", name, multiple: true});
    const dt = new DataTransfer();
    for (const [fileName, type, b64] of files) {
      const bytes = Uint8Array.from(atob(b64), ch => ch.charCodeAt(0));
      dt.items.add(new File([bytes], fileName, {type}));
    }
    input.files = dt.files;
  }
  document.body.append(form);
  return form;
}

async function run(c) {
  const frame = document.getElementById("out");
  const loaded = new Promise(resolve => frame.addEventListener("load", resolve, {once: true}));
  fill(c).submit();
  // A broken answer may never finish loading.
  const late = new Promise(resolve => setTimeout(resolve, CASE_MS, "late"));
  if (await Promise.race([loaded, late]) === "late") {
    await fetch(REPORT + c.id, {method: "POST", mode: "no-cors", body: "no answer in time"});
    return;
  }
  let answer;
  try {
    const d = frame.contentDocument;
    answer = d.contentType + "\\n" + d.body.textContent;
  } catch (e) {
    answer = "no readable answer: " + e;  // an error page is not of this origin
  }
  await fetch(REPORT + c.id, {method: "POST", mode: "no-cors", body: answer});
}

(async () => {
  for (const c of CASES) await run(c);
  await fetch(REPORT + "done", {method: "POST", mode: "no-cors", body: ""});
})();
</script>
"""


class Collector(http.server.ThreadingHTTPServer):
    """Takes the answers that the page posts back, one per case."""

    def __init__(self):
        self.answers = {}
        self.done = threading.Event()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                body = self.rfile.read(length).decode("utf-8", "replace")
                case = self.path.rsplit("/", 1)[-1]
                if case == "done":
                    outer.done.set()
                else:
                    outer.answers[case] = body
                self.send_response(204)
                self.send_header("Access-Control-Allow-Origin", "*")
                self.end_headers()

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process):
    deadline = time.monotonic() + STEP_SECONDS
    while time.monotonic() < deadline and process.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def stop(process):
    """Ends a process this script started, with everything it started."""
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def lighttpd_config(root, port):
    return f"""server.modules = ( "mod_cgi", "mod_setenv", "mod_accesslog" )
server.document-root = "{root}/htdocs"
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = "{root}/lighttpd-error.log"
accesslog.filename = "{root}/lighttpd-access.log"
server.upload-dirs = ( "{root}/upload" )
mimetype.assign = ( ".html" => "text/html; charset=utf-8" )
cgi.assign = ( ".cgi" => "" )
setenv.add-environment = ( "VESK_CGI_LOG" => "off" )
"""


def apache_config(root, port):
    modules = "/usr/lib/apache2/modules"
    # As root the server must hand its workers to another user.
    user = "User nobody\nGroup nogroup\n" if os.getuid() == 0 else ""
    return f"""ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule mime_module {modules}/mod_mime.so
LoadModule env_module {modules}/mod_env.so
LoadModule cgid_module {modules}/mod_cgid.so
{user}PidFile "{root}/apache.pid"
Mutex file:{root}
ScriptSock "{root}/cgid.sock"
ErrorLog "{root}/apache-error.log"
LogFormat "%r %>s %b" plain
CustomLog "{root}/apache-access.log" plain
DocumentRoot "{root}/htdocs"
TypesConfig /dev/null
AddType "text/html; charset=utf-8" .html
SetEnv VESK_CGI_LOG off
<Directory "{root}/htdocs">
  Options +ExecCGI
  AddHandler cgi-script .cgi
  Require all granted
</Directory>
"""


SERVERS = {
    "lighttpd": (["lighttpd"], lambda conf: ["-D", "-f", conf], lighttpd_config),
    "apache": (["apache2", "httpd"], lambda conf: ["-f", conf, "-DFOREGROUND"], apache_config),
}


def find(names):
    path = os.environ.get("PATH", "") + ":/usr/sbin:/usr/local/sbin"
    for name in names:
        found = shutil.which(name, path=path)
        if found:
            return found
    return None


def start_server(kind, root):
    names, args, config = SERVERS[kind]
    binary = find(names)
    if binary is None:
        sys.exit(f"web-test: {names[0]} is missing (scripts/install-deps.sh all)")
    for _ in range(5):  # another process may take the port first
        port = free_port()
        conf = os.path.join(root, kind + ".conf")
        with open(conf, "w") as f:
            f.write(config(root, port))
        process = subprocess.Popen([binary] + args(conf), start_new_session=True,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wait_for_port(port, process):
            return process, port
        stop(process)
    sys.exit(f"web-test: {kind} did not start; see {root}/{kind}*.log")


def chromium_command(profile, url):
    binary = find(["chromium", "chromium-browser"])
    if binary is None:
        sys.exit("web-test: chromium is missing (scripts/install-deps.sh all)")
    # The fresh profile and the switched-off background services keep it
    # from reaching out of the machine; as root it runs only without sandbox.
    return [binary, "--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--no-sandbox", "--remote-debugging-port=0",
            "--user-data-dir=" + profile, url]


def firefox_command(profile, url):
    binary = find(["firefox-esr", "firefox"])
    if binary is None:
        return None
    with open(os.path.join(profile, "user.js"), "w") as f:
        for pref in ("app.update.enabled", "browser.shell.checkDefaultBrowser",
                     "datareporting.policy.dataSubmissionEnabled",
                     "toolkit.telemetry.enabled", "network.captive-portal-service.enabled",
                     "browser.safebrowsing.malware.enabled",
                     "browser.safebrowsing.phishing.enabled"):
            f.write(f'user_pref("{pref}", false);\n')
    return [binary, "--headless", "--no-remote", "--profile", profile, url]


def run_browser(command, collector):
    """Loads the page; True when the page reported every case in time."""
    collector.answers.clear()
    collector.done.clear()
    env = dict(os.environ, MOZ_HEADLESS="1")
    process = subprocess.Popen(command, start_new_session=True, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        return collector.done.wait(STEP_SECONDS)
    finally:
        stop(process)


def check(label, collector, server_kind):
    failures = 0
    for case in CASES:
        want = "text/plain\n" + expected(case, case["method"].upper())
        got = collector.answers.get(case["id"])
        if got == want:
            print(f"  ok   {label} {server_kind} {case['id']}")
            continue
        failures += 1
        print(f"  FAIL {label} {server_kind} {case['id']}\n--- expected\n{want}--- got\n{got}")
    return failures


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    program = os.path.abspath(sys.argv[1])
    root = tempfile.mkdtemp(prefix="vesk-web-")
    os.chmod(root, 0o755)  # the servers' workers may run as another user
    collector = Collector()
    failures = 0
    try:
        htdocs = os.path.join(root, "htdocs")
        os.makedirs(htdocs)
        os.makedirs(os.path.join(root, "upload"))
        shutil.copy(program, os.path.join(htdocs, "form.cgi"))
        with open(os.path.join(htdocs, "forms.html"), "w", encoding="utf-8") as f:
            f.write(PAGE % {"cases": json.dumps(CASES), "port": collector.server_port,
                            "case_ms": CASE_SECONDS * 1000})

        for kind in SERVERS:
            server, port = start_server(kind, root)
            try:
                url = f"http://127.0.0.1:{port}/forms.html"
                for label, make in (("chromium", chromium_command),
                                    ("firefox", firefox_command)):
                    profile = tempfile.mkdtemp(prefix=label + "-", dir=root)
                    command = make(profile, url)
                    if command is None:
                        print(f"  skip {label}: not installed")
                        continue
                    started = time.monotonic()
                    finished = run_browser(command, collector)
                    if not finished and label == "firefox" and not collector.answers:
                        print(f"  skip {label}: it did not run headless here")
                        continue
                    failures += check(label, collector, kind)
                    if not finished:
                        failures += 1
                        print(f"  FAIL {label} {kind}: the page did not finish in time")
                    print(f"  ({label} {kind}: {time.monotonic() - started:.1f} s)")
            finally:
                stop(server)
            # A response that the server cut off after the page had it whole
            # would still be broken for a slower client.
            log = os.path.join(root, kind + "-error.log")
            if os.path.exists(log) and "ap_content_length_filter" in open(log).read():
                failures += 1
                print(f"  FAIL {kind}: a CGI response was cut off; see {log}")
    finally:
        collector.shutdown()
        if failures:
            print(f"web-test: {failures} failures; servers' logs kept in {root}")
        else:
            shutil.rmtree(root, ignore_errors=True)
    print("web-test: " + ("FAILED" if failures else "every answer matched"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
