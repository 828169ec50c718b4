// The source of every message id: the process's random generator, or a test's (see
// msg_random_private.h). Its own file, so that the pending table, which draws the ids of
// requests, and the message constructors, which submit to it, do not call each other.
#pragma once

void msg_random_bytes(void *out, int length);
