#include "web/connection_deadlines.h"

#include <sys/socket.h>

namespace vantle::web {

struct ConnectionDeadlines::Record {
  int socket = -1;
  std::optional<Clock::time_point> due;  // absent while a request is answered
  bool shut = false;
};

ConnectionDeadlines::~ConnectionDeadlines() {
  for (Record* record : records_) delete record;
}

ConnectionDeadlines::Record* ConnectionDeadlines::started(int socket, Clock::time_point now) {
  auto* record = new Record{socket, now + headerLimit_};
  std::lock_guard lock(mutex_);
  records_.insert(record);
  return record;
}

void ConnectionDeadlines::requestBegan(Record* record) {
  if (!record) return;
  std::lock_guard lock(mutex_);
  record->due.reset();
}

void ConnectionDeadlines::requestEnded(Record* record, Clock::time_point now) {
  if (!record) return;
  std::lock_guard lock(mutex_);
  record->due = now + headerLimit_;
}

void ConnectionDeadlines::closed(Record* record) {
  if (!record) return;
  std::lock_guard lock(mutex_);
  records_.erase(record);
  delete record;
}

size_t ConnectionDeadlines::enforce(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  size_t shut = 0;
  for (Record* record : records_) {
    if (record->shut || !record->due || *record->due > now) continue;
    ::shutdown(record->socket, SHUT_RDWR);
    record->shut = true;
    ++shut;
  }
  return shut;
}

size_t ConnectionDeadlines::size() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

}  // namespace vantle::web
