// What the extension module's reporter of runtime calls last said (device.cu).
#pragma once

#include <string>

const std::string &last_device_error();
