#include "GetVersionInfo.h"

// The build passes these for this source file; a build without them has no
// version information.
void GetVersionInfo(std::string& productName, std::string& fileVersion, std::string& comments) {
#if defined(HARBORLOCK_VERSION_PRODUCT) && defined(HARBORLOCK_VERSION_FILE)
  productName = HARBORLOCK_VERSION_PRODUCT;
  fileVersion = HARBORLOCK_VERSION_FILE;
#ifdef HARBORLOCK_VERSION_COMMENTS
  comments = HARBORLOCK_VERSION_COMMENTS;
#else
  comments.clear();
#endif
#else
  productName.clear();
  fileVersion.clear();
  (void)comments;
#endif
}
