// The memory BIO under each TLS session: one flat buffer per direction that
// the session appends to and reads from, and that the record pump fills from
// the socket and sends from in place.
//
// OpenSSL's own memory BIO clears every byte it appends before copying it in,
// clears and copies again whenever it grows, and moves its unread bytes to
// the front each time its buffer is looked at. This one appends with one
// copy, grows without clearing, and moves unread bytes only when the pump
// needs room behind them.
//
// Threading: a BIO is used only under its transport's lock sem_bio, except
// for the two hand-offs the pump makes outside it: the bytes between the
// free-room pointer and the buffer's end while the receive thread reads the
// socket into them (nobody else appends to the read BIO meanwhile), and a
// write buffer taken out with g_tls_bio_take (no longer the BIO's).
#pragma once

#include <cstddef>

#include <openssl/bio.h>
#include <openssl/buffer.h>

// A new memory BIO with an empty buffer of its own, or null.
BIO* g_tls_bio_new();

// The unread bytes: their start, and their count in *len (0 when empty).
char* g_tls_bio_data(BIO* b, size_t* len);

// Free room behind the unread bytes, at least `need` bytes of it: unread
// bytes are moved to the front first when that makes the room, else the
// buffer grows. The room's start and its size in *room, or null (with *room
// 0) when the buffer cannot grow.
char* g_tls_bio_room(BIO* b, size_t need, size_t* room);

// n bytes were written into the room that g_tls_bio_room returned.
void g_tls_bio_filled(BIO* b, size_t n);

// Takes the buffer with the unread bytes out of the BIO and puts `fresh`
// (emptied) in its place; the caller owns what is returned. The bytes of the
// taken buffer are data[0, length). Null when b is no such BIO.
BUF_MEM* g_tls_bio_take(BIO* b, BUF_MEM* fresh);
