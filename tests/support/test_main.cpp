// The main of every test program: GoogleTest's flags, and --images=sys to
// boot every machine of the run from the Windows build's .sys images.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "sim/kernel/image_loader.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--images=sys") == 0) {
      sim::SetDefaultImageKind(sim::ImageKind::Sys);
    } else if (std::strcmp(argv[i], "--images=host") != 0) {
      std::fprintf(stderr, "%s: unknown argument %s (--images=host|sys)\n", argv[0], argv[i]);
      return 2;
    }
  }
  return RUN_ALL_TESTS();
}
