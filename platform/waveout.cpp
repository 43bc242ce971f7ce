#include "platform/waveout.h"

MMRESULT waveOutReset(HWAVEOUT device) {
  if (device == nullptr) return MMSYSERR_INVALHANDLE;
  return MMSYSERR_ERROR;  // devices arrive with the SDL backend
}
