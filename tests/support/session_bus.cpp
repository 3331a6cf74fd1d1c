#include "support/session_bus.h"

#include <gtest/gtest.h>
#include <gio/gio.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "support/build_paths.h"

namespace {

namespace fs = std::filesystem;

// A session bus's configuration; @SERVICES@ names the folders of the
// services that it can start.
const char* const BusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@DIR@</listen>
  <auth>EXTERNAL</auth>
  @SERVICES@
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// Where the installed session services are described.
const char* const ServiceFolders[] = {"/usr/local/share/dbus-1/services", "/usr/share/dbus-1/services"};

const char* const PortalBackend = "org.freedesktop.impl.portal.desktop.gtk";

void Replace(std::string& text, const std::string& what, const std::string& with) {
  text.replace(text.find(what), what.size(), with);
}

// A folder of links to the installed services' descriptions, less those that
// name one of leftOut.
void LinkServices(const fs::path& into, const std::vector<std::string>& leftOut) {
  fs::create_directories(into);
  for (const char* folder : ServiceFolders) {
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(folder, missing)) {
      const std::string description = ReadFile(entry.path());
      const bool left = std::any_of(leftOut.begin(), leftOut.end(), [&](const std::string& name) {
        return ("\n" + description + "\n").find("\nName=" + name + "\n") != std::string::npos;
      });
      std::error_code exists;
      if (!left) fs::create_symlink(entry.path(), into / entry.path().filename(), exists);
    }
  }
}

// Whether pid still runs: not reaped (when a child of this process), nor a
// zombie, nor gone.
bool Alive(pid_t pid) {
  int status = 0;
  const pid_t reaped = waitpid(pid, &status, WNOHANG);
  if (reaped == pid) return false;
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Waits up to seconds until none of pids is alive; returns those that are.
std::vector<pid_t> AwaitGone(std::vector<pid_t> pids, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    std::erase_if(pids, [](pid_t pid) { return !Alive(pid); });
    if (pids.empty() || std::chrono::steady_clock::now() > deadline) return pids;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string CommandLine(pid_t pid) {
  std::string line = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  std::replace(line.begin(), line.end(), '\0', ' ');
  return line;
}

// A reply of the bus's to the call replyTo, as it goes on the wire.
std::string ReplyOnWire(guint32 serial, guint32 replyTo, const char* body) {
  GDBusMessage* message = g_dbus_message_new();
  g_dbus_message_set_message_type(message, G_DBUS_MESSAGE_TYPE_METHOD_RETURN);
  g_dbus_message_set_serial(message, serial);
  g_dbus_message_set_reply_serial(message, replyTo);
  g_dbus_message_set_body(message, g_variant_new("(s)", body));
  gsize size = 0;
  guchar* blob = g_dbus_message_to_blob(message, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
  std::string wire(reinterpret_cast<char*>(blob), size);
  g_free(blob);
  g_object_unref(message);
  return wire;
}

}  // namespace

LyingBus::LyingBus(const std::string& folder, Lie lie) {
  if (lie == Lie::SilentTcp) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof where;
    bind(listener_, reinterpret_cast<sockaddr*>(&where), size);
    listen(listener_, 8);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&where), &size);
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool reachable = connect(probe, reinterpret_cast<sockaddr*>(&where), size) == 0;
    close(probe);
    // The bus libraries take the first entry that connects.
    if (reachable)
      address = "tcp:host=127.0.0.1,port=" + std::to_string(ntohs(where.sin_port)) + ";unix:path=/nonexistent";
    return;
  }
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un where{AF_UNIX, {}};
  std::snprintf(where.sun_path, sizeof where.sun_path, "%s/lying-bus", folder.c_str());
  unlink(where.sun_path);  // an earlier one's
  bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where);
  listen(listener_, 8);
  address = std::string("unix:path=") + where.sun_path;
  serving_ = std::thread([this, lie] {
    const int client = accept(listener_, nullptr, nullptr);
    std::string got;
    const auto awaitText = [&](const char* text) {
      char chunk[4096];
      for (ssize_t size; got.find(text) == std::string::npos; got.append(chunk, static_cast<size_t>(size)))
        if ((size = recv(client, chunk, sizeof chunk, 0)) <= 0) return false;
      return true;
    };
    const auto say = [&](const std::string& data) {
      return send(client, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    };
    while (lie == Lie::EndlessGreeting && say(std::string(65536, 'x'))) continue;
    if (lie != Lie::EndlessGreeting && awaitText("\r\n") && say("OK 0123456789abcdef0123456789abcdef\r\n") &&
        awaitText("BEGIN\r\n") && say(ReplyOnWire(1, 1, ":1.1")))  // the greeting's Hello
      for (guint32 serial = 2; lie == Lie::UnaskedReplies && say(ReplyOnWire(serial, serial + 1000, "")); ++serial)
        continue;
    awaitText("until the client goes");
    close(client);
  });
}

LyingBus::~LyingBus() {
  shutdown(listener_, SHUT_RDWR);  // ends a wait for the first client
  if (serving_.joinable()) serving_.join();
  close(listener_);
}

std::vector<pid_t> ProcessesWith(const std::string& entry) {
  std::vector<pid_t> found;
  for (const auto& process : fs::directory_iterator("/proc")) {
    const std::string name = process.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string environment = ReadFile(process.path() / "environ");
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    if (("\0" + environment).find(std::string(1, '\0') + entry + '\0') != std::string::npos && Alive(pid))
      found.push_back(pid);
  }
  return found;
}

PrivateSessionBus::PrivateSessionBus(const std::string& folder, const SessionBusOptions& options)
    : folder_(folder), runtime_(folder + "/run"), mark_("STASHWICK_TEST_BUS=" + folder) {
  fs::create_directories(folder_ + "/bus");
  fs::create_directories(runtime_);
  fs::permissions(runtime_, fs::perms::owner_all);
  std::string config = BusConfig;
  Replace(config, "@DIR@", folder_ + "/bus");
  if (options.leftOut.empty()) {
    Replace(config, "@SERVICES@", "<standard_session_servicedirs/>");
  } else {
    LinkServices(folder_ + "/services", options.leftOut);
    Replace(config, "@SERVICES@", "<servicedir>" + folder_ + "/services</servicedir>");
  }
  WriteFile(folder_ + "/session.conf", config);
  ProcessOptions bus;
  bus.args = {"/usr/bin/dbus-daemon", "--config-file=" + folder_ + "/session.conf", "--fork", "--print-address=1",
              "--print-pid=1"};
  bus.env = {{"XDG_RUNTIME_DIR", runtime_}, {mark_.substr(0, mark_.find('=')), folder_}};
  bus.env.insert(bus.env.end(), options.env.begin(), options.env.end());
  const ProcessResult started = RunProcess(bus);
  std::istringstream printed(started.out);
  printed >> address_ >> pid_;
  startError_ = started.err;
}

Environment PrivateSessionBus::ClientEnv() const {
  return {{"DBUS_SESSION_BUS_ADDRESS", address_},
          {"XDG_RUNTIME_DIR", runtime_},
          {mark_.substr(0, mark_.find('=')), folder_}};
}

pid_t PrivateSessionBus::Owner(const std::string& name) const {
  ProcessOptions ask;
  ask.args = {"/usr/bin/dbus-send", "--session", "--print-reply=literal", "--dest=org.freedesktop.DBus",
              "/org/freedesktop/DBus", "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:" + name};
  ask.env = {{"DBUS_SESSION_BUS_ADDRESS", address_}};
  const ProcessResult answer = RunProcess(ask);
  std::istringstream words(answer.out);
  std::string type;
  long pid = 0;
  return answer.exitCode == 0 && words >> type >> pid ? static_cast<pid_t>(pid) : 0;
}

pid_t PrivateSessionBus::Started(const std::string& name) const {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (const pid_t owner = Owner(name)) return owner;
    ProcessOptions start;
    start.args = {"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                  "/org/freedesktop/DBus", "org.freedesktop.DBus.StartServiceByName", "string:" + name,
                  "uint32:0"};
    start.env = {{"DBUS_SESSION_BUS_ADDRESS", address_}};
    RunProcess(start);
    usleep(100 * 1000);
  }
  return 0;
}

std::string PrivateSessionBus::socketPath() const {
  const std::string prefix = "unix:path=";
  return address_.substr(prefix.size(), address_.find(',') - prefix.size());
}

pid_t PrivateSessionBus::Start(ProcessOptions options, const std::string& logPath) {
  const Environment client = ClientEnv();
  options.env.insert(options.env.end(), client.begin(), client.end());
  const pid_t pid = StartProcess(options, logPath);
  if (pid > 0) started_.push_back(pid);
  return pid;
}

pid_t PrivateSessionBus::StartOwner(const ProcessOptions& options, const std::string& name,
                                    const std::string& logPath) {
  const pid_t pid = Start(options, logPath);
  for (int attempt = 0; pid > 0 && attempt < 100 && Alive(pid); ++attempt) {
    if (Owner(name) == pid) return pid;
    usleep(50 * 1000);
  }
  return 0;
}

pid_t PrivateSessionBus::StartPortalBackend(const Environment& env, const std::string& logPath) {
  ProcessOptions backend;
  backend.args = {"/usr/libexec/xdg-desktop-portal-gtk", "--replace"};
  backend.env = env;
  return StartOwner(backend, PortalBackend, logPath);
}

pid_t PrivateSessionBus::StartFakePortal(const std::vector<std::string>& behaviour, const std::string& logPath) {
  ProcessOptions portal;
  portal.args = {"/usr/bin/python3", TestFakePortal};
  portal.args.insert(portal.args.end(), behaviour.begin(), behaviour.end());
  return StartOwner(portal, "org.freedesktop.portal.Desktop", logPath);
}

void PrivateSessionBus::Stop(pid_t pid) {
  if (pid > 0 && kill(pid, SIGSTOP) == 0) stopped_.push_back(pid);
}

void PrivateSessionBus::Continue(pid_t pid) {
  if (pid > 0) kill(pid, SIGCONT);
  std::erase(stopped_, pid);
}

bool PrivateSessionBus::End(pid_t pid) {
  if (pid <= 0) return true;
  Continue(pid);
  kill(pid, SIGTERM);
  if (AwaitGone({pid}, 3).empty()) return true;
  kill(pid, SIGKILL);
  return AwaitGone({pid}, 2).empty();
}

std::vector<pid_t> PrivateSessionBus::Processes() const {
  // The children that have ended are reaped and forgotten, so that a pid
  // used again later is never taken for one of them.
  std::erase_if(started_, [](pid_t pid) {
    int status = 0;
    const pid_t reaped = waitpid(pid, &status, WNOHANG);
    return reaped == pid || (reaped < 0 && errno == ECHILD);
  });
  std::vector<pid_t> found = ProcessesWith(mark_);
  std::vector<pid_t> own = started_;
  own.push_back(pid_);
  for (const pid_t pid : own)
    if (pid > 0 && Alive(pid) && std::find(found.begin(), found.end(), pid) == found.end()) found.push_back(pid);
  return found;
}

void PrivateSessionBus::EndAll() {
  for (const pid_t pid : stopped_) kill(pid, SIGCONT);
  stopped_.clear();
  // Twice: a service that ends may start a last helper.
  std::vector<pid_t> left = Processes();
  for (int round = 0; round < 2 && !left.empty(); ++round) {
    for (const pid_t pid : left) kill(pid, SIGTERM);
    left = AwaitGone(Processes(), 3);
  }
  for (const pid_t pid : left) kill(pid, SIGKILL);
  left = AwaitGone(Processes(), 2);
  Processes();  // reaps the children
  started_.clear();
  pid_ = 0;
  // The document portal's file system, where it was mounted: a mount left
  // behind would keep the scratch folder from being removed.
  const std::string mount = documentPortalMount();
  if (ReadFile("/proc/self/mounts").find(" " + mount + " ") != std::string::npos &&
      umount2(mount.c_str(), MNT_DETACH) != 0)
    ADD_FAILURE() << "the document portal's mount " << mount << " stays: " << std::strerror(errno);
  std::string names;
  for (const pid_t pid : left) names += "\n  " + std::to_string(pid) + " " + CommandLine(pid);
  EXPECT_TRUE(left.empty()) << "processes of the session bus outlived SIGKILL:" << names;
}
