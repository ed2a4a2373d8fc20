#include "app/app.h"

plat_rect progress_rect;
