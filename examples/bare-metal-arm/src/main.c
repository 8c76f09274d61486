// Blinks an LED: toggles a GPIO output bit with a delay between toggles.

#include <stdint.h>

// GPIO port A of an STM32F4: the mode register and the output data register.
#define GPIOA_MODER (*(volatile uint32_t*)0x40020000u)
#define GPIOA_ODR (*(volatile uint32_t*)0x40020014u)

uint32_t delayCount = 400000;  // initialised data: the start-up code copies it from flash

int main(void) {
  GPIOA_MODER = (GPIOA_MODER & ~(3u << 10)) | (1u << 10);  // pin 5 as an output
  for (;;) {
    GPIOA_ODR ^= 1u << 5;
    for (volatile uint32_t i = 0; i < delayCount; ++i) {
    }
  }
}
