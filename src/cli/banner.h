// The start of the banner every run prints first, before the build date and
// ")". It stands here alone, so that the tests and scripts that check the
// banner take it from here.
#pragma once

constexpr char BANNER_START[] = "ORVANTE file converter V2.0 (compiled ";
