/* A small program for the FX2's 8051: walks a pattern over the port D lines.
 *
 * Built with sdcc 4.2.0 (Debian package sdcc) and packed into 16-byte records:
 *   sdcc -mmcs51 --code-loc 0x0000 --xram-loc 0x3000 blink.c
 *   packihx blink.ihx > blink.hex
 * The test loads blink.hex into the simulated board and compares the FX2's memory with the
 * image byte for byte; the simulator does not run the code. */

__sfr __at(0xB0) IOD; /* port D data */
__sfr __at(0xB5) OED; /* port D output enables */

static const unsigned char __code pattern[] = {
    0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80,
    0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01, 0x00,
    0x81, 0x42, 0x24, 0x18, 0x24, 0x42, 0x81, 0x00,
};

static void pause(unsigned int loops) {
  while (loops-- != 0) {
  }
}

void main(void) {
  unsigned char i = 0;
  OED = 0xFF;
  for (;;) {
    IOD = pattern[i];
    pause(20000);
    if (++i == sizeof pattern) i = 0;
  }
}
