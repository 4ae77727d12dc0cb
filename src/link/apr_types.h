#pragma once
// APR (anatomically programmed radiography) technique records passed by the host; the
// layouts are part of the C interface.

#include <kestro/kestro_types.h>

namespace kestro {

using APRDataInfo = ::_APRDataInfo;
using APRSourceData = ::_APRSourceData;

}  // namespace kestro
