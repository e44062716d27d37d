/* kelerror.cpp: being written. */
