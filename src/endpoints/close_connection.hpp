#pragma once

// Closes a data socket without throwing away what has been written to it. Closing a TCP
// socket that still holds unread input makes the kernel send a reset, and the reset
// discards whatever of our output the peer has not acknowledged yet. So the write side is
// shut down first (the peer gets its end of data after the queued bytes), pending input is
// discarded, and the close waits while the peer keeps acknowledging, giving up after a few
// seconds in which nothing moved.
void close_connection(int fd);
