#pragma once

// Probes the SPI port for known capes; 0 when nothing went wrong.
int DetectTamrinHardware(bool configure);
