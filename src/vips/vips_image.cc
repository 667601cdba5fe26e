#include "platform/image.h"

#include <vips/vips.h>

namespace tarnwick {

Image::Image(VipsImage* owned) : vips_(owned, [](VipsImage* image) { g_object_unref(image); }) {}

}  // namespace tarnwick
