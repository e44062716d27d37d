/* kelcommon.cpp: being written. */
