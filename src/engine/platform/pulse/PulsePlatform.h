// Puts the sound server behind the platform's interfaces: the audio hardware
// backend, the I/O registry and the media player factory. Both programs call
// it first thing in main(); tests that use a real (private) server call it too.
//
// One connector is made here and handed to the audio backend and to the
// player factory, so capture and playback share one connection and its loop;
// the registry keeps short connections of its own (PulseRegistry.h). Each
// slot can be replaced later on its own: installing a test backend in one
// leaves the others as they are.
//
// Threads: main thread, before the first use of any of the three.
#pragma once

void installPulsePlatform();
