#pragma once
// A bounded FIFO of messages in one block of memory allocated at init.
// Each record is contiguous: an 8-byte head (length, aux word) and the
// data, rounded up to 8 bytes; a record that does not fit before the end of
// the block starts again at its front. Nothing is allocated after init.
//
// A consumer that must keep what it sent until it is acknowledged (the
// Streams publisher) hands records out with peek_next, removes them with
// forget once acknowledged, and hands them all out again with rewind after
// a lost connection.
//
// Threading: any number of threads may push and pop; every member below
// the lock is guarded by it. pop_with and peek_next run their callback
// under the lock, so the callback must be short and must not touch this
// ring. One consumer at a time uses peek_next, forget and rewind.

#include <cstddef>
#include <cstdint>

#include "support/g_mutex.hpp"

class G_RING {
 public:
  enum : int {
    RING_OK = 0,
    RING_FULL = 1,       // no room and dropping was not allowed
    RING_TOO_LARGE = 2,  // larger than the whole ring: never fits
    RING_CLOSED = 43,
  };
  // Results of pop_with.
  enum : int { POP_EMPTY = 0, POP_TAKEN = 1, POP_DECLINED = 2 };

  static constexpr size_t RECORD_HEAD = 8;

  G_RING();
  ~G_RING();
  G_RING(const G_RING&) = delete;
  G_RING& operator=(const G_RING&) = delete;

  // capacity is rounded down to a multiple of 8. 0, ENOMEM, or EINVAL for
  // a capacity below 64 bytes.
  int init(size_t capacity);
  void close();

  // Largest data length (head_len + len of push) a record can carry.
  size_t max_data() const { return cap > RECORD_HEAD ? cap - RECORD_HEAD : 0; }

  // Appends head (head_len bytes, may be 0) followed by data (len bytes) as
  // one record with the word aux. With drop_oldest the oldest records are
  // dropped until the new one fits, and *dropped grows by their number;
  // without it a record that does not fit gives RING_FULL. *was_empty (when
  // not null) tells whether the ring held nothing before: the consumer may
  // be waiting for exactly this record.
  int push(const void* head, size_t head_len, const void* data, size_t len, uint32_t aux, bool drop_oldest,
           uint64_t* dropped, bool* was_empty);

  // Hands the oldest record to f(const char* data, size_t len, uint32_t aux)
  // under the lock; the record is removed when f returns true.
  template <class F>
  int pop_with(F&& f) {
    if (lock.lock() != 0) return POP_EMPTY;
    int r = POP_EMPTY;
    if (n_records != 0) {
      const char* rec = p_buf + r_pos;
      uint32_t len = 0;
      uint32_t aux = 0;
      read_head(rec, len, aux);
      if (f(static_cast<const char*>(rec + RECORD_HEAD), size_t(len), aux)) {
        drop_front();
        r = POP_TAKEN;
      } else {
        r = POP_DECLINED;
      }
    }
    lock.unlock();
    return r;
  }

  // Hands the oldest record not handed yet to f (as pop_with does) and
  // counts it as handed when f returns true; it stays in the ring. Results
  // as pop_with's.
  template <class F>
  int peek_next(F&& f) {
    if (lock.lock() != 0) return POP_EMPTY;
    int r = POP_EMPTY;
    if (n_peeked < n_records) {
      size_t at = n_peeked == 0 ? r_pos : peek_pos;
      if (b_wrapped && at == wrap_end) at = 0;
      uint32_t len = 0;
      uint32_t aux = 0;
      read_head(p_buf + at, len, aux);
      if (f(static_cast<const char*>(p_buf + at + RECORD_HEAD), size_t(len), aux)) {
        peek_pos = at + record_size(len);
        ++n_peeked;
        r = POP_TAKEN;
      } else {
        r = POP_DECLINED;
      }
    }
    lock.unlock();
    return r;
  }
  // Removes the n oldest handed records (fewer when fewer were handed).
  void forget(size_t n);
  // The handed records count as not handed: peek_next starts again at the
  // oldest.
  void rewind();
  // Records handed and not forgotten.
  size_t handed();

  // Whether a record of data_len bytes (head included) would fit now
  // without dropping anything.
  bool fits(size_t data_len);

  // Drops every record; returns how many there were.
  uint64_t clear();
  size_t count();
  // Bytes the records occupy, heads and padding included.
  size_t bytes();

 private:
  static size_t record_size(size_t data_len) { return (RECORD_HEAD + data_len + 7) & ~size_t(7); }
  static void read_head(const char* rec, uint32_t& len, uint32_t& aux);
  // Where a record of n bytes would go, or SIZE_MAX when it does not fit
  // now. Lock held.
  size_t place(size_t n) const;
  void drop_front();  // lock held, n_records > 0
  // A copy of member v read under the lock; 0 when the ring is closed.
  template <class T>
  T read_locked(const T& v) {
    if (lock.lock() != 0) return T{};
    const T copy = v;
    lock.unlock();
    return copy;
  }

  g_mutex lock;
  char* p_buf;
  size_t cap;
  // Records lie in [r_pos, w_pos) when not wrapped; when wrapped, in
  // [r_pos, wrap_end) and then [0, w_pos).
  size_t r_pos;
  size_t w_pos;
  size_t wrap_end;
  bool b_wrapped;
  size_t n_records;
  size_t used;
  // The oldest n_peeked records have been handed; the next one starts at
  // peek_pos (or at wrap_end's front when the ring wrapped there).
  size_t n_peeked = 0;
  size_t peek_pos = 0;
};
