// The control's face in a designer: fixed size, picture, toolbox bitmap, registered status flags
// and the design-time settings of the hosted components.
#pragma once

#include <array>
#include <cstdint>

namespace varnel {

class CommComponent;

namespace surface {

// Fixed face size: 36 by 32.5 pixels at 15 twips to a pixel.
inline constexpr float kFaceWidthTwips = 540.0f;
inline constexpr float kFaceHeightTwips = 488.0f;

// Registered status flags (OLEMISC values).
namespace olemisc {
inline constexpr std::uint32_t kRecomposeOnResize = 0x1;
inline constexpr std::uint32_t kCantLinkInside = 0x10;
inline constexpr std::uint32_t kInsideOut = 0x80;
inline constexpr std::uint32_t kActivateWhenVisible = 0x100;
inline constexpr std::uint32_t kInvisibleAtRuntime = 0x400;
inline constexpr std::uint32_t kNoUIActivate = 0x4000;
inline constexpr std::uint32_t kSetClientSiteFirst = 0x20000;
}  // namespace olemisc
inline constexpr std::uint32_t kOleMiscStatus = 0x24591;
static_assert(kOleMiscStatus ==
              (olemisc::kRecomposeOnResize | olemisc::kCantLinkInside | olemisc::kInsideOut |
               olemisc::kActivateWhenVisible | olemisc::kInvisibleAtRuntime |
               olemisc::kNoUIActivate | olemisc::kSetClientSiteFirst));

// Bitmaps under resources/, 8 bits per pixel with a 256-colour palette (make_bitmaps.py).
struct Bitmap {
    const char* file;
    int width;
    int height;
    int resourceId;  // 0: not a numbered resource
};
// Drawn at the face's top-left corner; its bottom half-pixel row falls outside the face.
inline constexpr Bitmap kFacePicture{"varnel_face.bmp", 36, 33, 0};
inline constexpr Bitmap kToolboxBitmap{"varnel_toolbox.bmp", 16, 15, 30000};
inline constexpr Bitmap kLogoBitmap{"varnel_logo.bmp", 26, 19, 0};

// Design-time state of the hosted components. All are invisible while the host runs.
struct TimerSettings {
    const char* name;
    bool enabled;
    std::int32_t interval;
};
inline constexpr std::array<TimerSettings, 2> kTimerSettings{{
    {"timReconnect", false, 3000},
    {"timCommTimeout", false, 1000},
}};
// The serial-port component is stored with the line settings that opening applies again. It must
// raise a receive event for every character (a receive threshold of one).
inline constexpr const char* kCommSettings = "2400,N,8,2";

// Gives a newly created serial-port component its stored design-time state (port closed).
void ApplyCommDesignSettings(CommComponent& comm);

}  // namespace surface
}  // namespace varnel
