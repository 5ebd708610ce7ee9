/* tarn.h on its own, as strict C11. */
#include <tarn/c/tarn.h>
