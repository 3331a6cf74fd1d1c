// A connection of its own to a D-Bus bus, for asking a desktop service
// whether it answers before the toolkit relies on it. Every step (connect,
// authentication, each send and each read) is bounded by one deadline, on the
// monotonic clock; a step that would pass it fails. No thread is started, no
// main loop is run, and nothing is left open when the link ends.
#pragma once

#include <gio/gio.h>

#include <map>
#include <string>
#include <vector>

class BusLink {
 public:
  // deadline: g_get_monotonic_time() value past which every step fails.
  explicit BusLink(gint64 deadline) : deadline_(deadline) {}
  BusLink(const BusLink&) = delete;
  BusLink& operator=(const BusLink&) = delete;
  ~BusLink();

  // Connects to the first unix socket of a bus address ("unix:path=..." or
  // "unix:abstract=..."). False when there is none, or nothing listens there:
  // the toolkit then fails as quickly as this does.
  bool Connect(const char* address);

  // After a failed Connect: whether the address names no transport that this
  // does not try (tcp, a launcher): false where a bus may still be there.
  bool TriedAll() const { return !otherTransport_; }

  // Authenticates as this user and sends Hello. False when the bus does not
  // answer in time, or refuses.
  bool Greet();

  // Sends a method call and returns its serial, 0 when it could not be sent.
  // With noStart, a name that nobody owns is not started: the bus answers
  // with an error at once. Takes body when it is floating.
  guint32 Call(bool noStart, const char* destination, const char* path, const char* interface,
               const char* method, GVariant* body);

  // Gives the steps still to come until deadline.
  void SetDeadline(gint64 deadline) { deadline_ = deadline; }

  // Waits until every one of serials has its reply (or error), or the
  // deadline passes, or the bus ends the link. True when all came.
  bool Await(const std::vector<guint32>& serials);

  // The reply to serial, a return or an error; nullptr when none came. The
  // link keeps it.
  GDBusMessage* Reply(guint32 serial) const;

 private:
  bool Wait(short events);
  bool Send(const std::string& data);
  bool Receive(std::string& into);
  bool ReadMessage();

  gint64 deadline_;
  int fd_ = -1;
  bool otherTransport_ = false;
  guint32 serial_ = 0;
  std::string buffer_;
  std::map<guint32, GDBusMessage*> replies_;
};
