// A bounded FIFO of messages in one block allocated at init.
#include "bridge/g_ring.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

G_RING::G_RING()
    : p_buf(nullptr), cap(0), r_pos(0), w_pos(0), wrap_end(0), b_wrapped(false), n_records(0), used(0) {}

G_RING::~G_RING() {
  close();
}

int G_RING::init(size_t capacity) {
  close();
  capacity &= ~size_t(7);
  if (capacity < 64) return EINVAL;
  // Untouched pages cost no memory: the ring's resident size grows only as
  // far as it has been filled, and never past capacity.
  p_buf = static_cast<char*>(malloc(capacity));
  if (p_buf == nullptr) return ENOMEM;
  const int rc = lock.init();
  if (rc != 0) {
    free(p_buf);
    p_buf = nullptr;
    return rc;
  }
  cap = capacity;
  r_pos = w_pos = 0;
  wrap_end = cap;
  b_wrapped = false;
  n_records = 0;
  used = 0;
  return 0;
}

void G_RING::close() {
  if (p_buf == nullptr) return;
  lock.close();
  free(p_buf);
  p_buf = nullptr;
  cap = 0;
  n_records = 0;
  used = 0;
}

void G_RING::read_head(const char* rec, uint32_t& len, uint32_t& aux) {
  memcpy(&len, rec, 4);
  memcpy(&aux, rec + 4, 4);
}

size_t G_RING::place(size_t n) const {
  if (n_records == 0) return n <= cap ? 0 : SIZE_MAX;
  if (b_wrapped) return r_pos - w_pos >= n ? w_pos : SIZE_MAX;
  if (cap - w_pos >= n) return w_pos;
  if (r_pos >= n) return 0;  // starts again at the front
  return SIZE_MAX;
}

void G_RING::drop_front() {
  uint32_t len = 0;
  uint32_t aux = 0;
  read_head(p_buf + r_pos, len, aux);
  const size_t n = record_size(len);
  r_pos += n;
  used -= n;
  --n_records;
  if (n_peeked != 0) --n_peeked;
  if (n_records == 0) {
    r_pos = w_pos = 0;
    wrap_end = cap;
    b_wrapped = false;
  } else if (b_wrapped && r_pos == wrap_end) {
    r_pos = 0;
    wrap_end = cap;
    b_wrapped = false;
  }
}

int G_RING::push(const void* head, size_t head_len, const void* data, size_t len, uint32_t aux,
                 bool drop_oldest, uint64_t* dropped, bool* was_empty) {
  const size_t data_len = head_len + len;
  if (data_len > UINT32_MAX || data_len > max_data()) return p_buf == nullptr ? RING_CLOSED : RING_TOO_LARGE;
  const size_t n = record_size(data_len);
  if (lock.lock() != 0) return RING_CLOSED;
  if (was_empty != nullptr) *was_empty = n_records == 0;
  size_t at = place(n);
  if (at == SIZE_MAX && !drop_oldest) {
    lock.unlock();
    return RING_FULL;
  }
  uint64_t gone = 0;
  while (at == SIZE_MAX) {  // an empty ring takes any record up to cap
    drop_front();
    ++gone;
    at = place(n);
  }
  if (dropped != nullptr) *dropped += gone;
  if (at == 0 && n_records != 0 && !b_wrapped && at != w_pos) {
    wrap_end = w_pos;
    b_wrapped = true;
  }
  char* rec = p_buf + at;
  const uint32_t len32 = uint32_t(data_len);
  memcpy(rec, &len32, 4);
  memcpy(rec + 4, &aux, 4);
  if (head_len != 0) memcpy(rec + RECORD_HEAD, head, head_len);
  if (len != 0) memcpy(rec + RECORD_HEAD + head_len, data, len);
  w_pos = at + n;
  used += n;
  ++n_records;
  lock.unlock();
  return RING_OK;
}

void G_RING::forget(size_t n) {
  if (lock.lock() != 0) return;
  for (size_t i = 0; i < n && n_peeked != 0; ++i)
    drop_front();
  lock.unlock();
}

void G_RING::rewind() {
  if (lock.lock() != 0) return;
  n_peeked = 0;
  lock.unlock();
}

size_t G_RING::handed() {
  return read_locked(n_peeked);
}

uint64_t G_RING::clear() {
  if (lock.lock() != 0) return 0;
  const uint64_t n = n_records;
  n_records = 0;
  n_peeked = 0;
  used = 0;
  r_pos = w_pos = 0;
  wrap_end = cap;
  b_wrapped = false;
  lock.unlock();
  return n;
}

bool G_RING::fits(size_t data_len) {
  if (data_len > max_data()) return false;
  if (lock.lock() != 0) return false;
  const bool ok = place(record_size(data_len)) != SIZE_MAX;
  lock.unlock();
  return ok;
}

size_t G_RING::count() {
  return read_locked(n_records);
}

size_t G_RING::bytes() {
  return read_locked(used);
}
