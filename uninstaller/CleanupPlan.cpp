#include "uninstaller/CleanupPlan.h"

namespace {

// The version folder goes first; its own copy of tarvex_tools.rbs is deleted
// by name afterwards in case the folder could not be removed whole.
const CleanupTarget kVersion2Targets[kTargetsPerPass] = {
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_V2", TargetKind::Tree, true},
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_V2.rbs", TargetKind::File, false},
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_Section_Tool.rb", TargetKind::File,
     false},
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\Ombrisk_Section", TargetKind::Tree, false},
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\tarvex_tools.rbs", TargetKind::File, false},
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_V2\\plug_in\\tarvex_tools.rbs",
     TargetKind::File, false},
};

const CleanupTarget kVersion25Targets[kTargetsPerPass] = {
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_V2.5", TargetKind::Tree, true},
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_V2.5.rbs", TargetKind::File, false},
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_Section_Tool.rb", TargetKind::File,
     false},
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\Ombrisk_Section", TargetKind::Tree, false},
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\tarvex_tools.rbs", TargetKind::File, false},
    {L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_V2.5\\plug_in\\tarvex_tools.rbs",
     TargetKind::File, false},
};

} // namespace

const CleanupPass kCleanupPasses[kPassCount] = {
    {CSIDL_APPDATA, kVersion2Targets},
    {CSIDL_COMMON_APPDATA, kVersion2Targets},
    {CSIDL_COMMON_APPDATA, kVersion25Targets},
    {CSIDL_APPDATA, kVersion25Targets},
};
