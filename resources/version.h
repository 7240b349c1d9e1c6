/* The tool's version numbers, in the one place that the resource script and
   the build both read (CMake takes the file version as the project version). */
/* clang-format off */
#define COMENROL_FILE_VERSION 1,0,6,1200
#define COMENROL_FILE_VERSION_TEXT "1, 0, 6, 1200"
#define COMENROL_PRODUCT_VERSION 1,0,0,1
#define COMENROL_PRODUCT_VERSION_TEXT "1, 0, 0, 1"
/* clang-format on */
