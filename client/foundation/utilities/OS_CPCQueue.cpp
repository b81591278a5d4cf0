#include "OS_CPCQueue.h"

// The queue is a template; this instantiation checks the whole of it at build time.
template class OS_CPCQueue<void*>;
