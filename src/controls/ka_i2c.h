// SPDX-License-Identifier: MIT
// I2C transfers to chips with 8-bit register addresses and 16-bit values
// (most significant byte first) over an open i2c-dev descriptor. Both return
// the I2C_RDWR result: 0 or more on success, negative on failure (logged).
#pragma once

#include <stdint.h>

// On failure *value is left as it was.
int __i2c_read_data_8_16(int fd, uint16_t addr, uint8_t reg, uint16_t *value);
int __i2c_write_data_8_16(int fd, uint16_t addr, uint8_t reg, uint16_t value);
