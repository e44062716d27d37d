/* kellog.cpp: being written. */
