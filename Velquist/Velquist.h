#pragma once

#include "bakkesmod/plugin/bakkesmodplugin.h"

// Clears the host's online-status override every time the host loads it.
class Velquist final : public BakkesMod::Plugin::BakkesModPlugin {
public:
    void onLoad() override;
    void onUnload() override;
};
