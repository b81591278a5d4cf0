// Heap copy of a C string for handing text between threads; free with delete[].
#pragma once

// Null for null, a one-byte buffer holding the terminator for "".
char* DupString(const char* text);
