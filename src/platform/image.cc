#include "platform/image.h"

#include <vips/vips.h>

namespace tarnwick {

Image::Image(VipsImage* owned) : vips_(owned) {}

void Image::Unref::operator()(VipsImage* image) const { g_object_unref(image); }

}  // namespace tarnwick
