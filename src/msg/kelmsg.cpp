/* kelmsg.cpp: being written. */
