#include "runtime/eval/actions.h"

namespace kiv {

const ActionInfo kActionInfo[kActionCount + 1] = {
    {nullptr, 0, 0, false},       //  0 unused
    {"make", 2, 0, false},        //  1
    {"random", 1, 3, false},      //  2
    {"reflect", 2, 0, false},     //  3
    {"to", 2, 0, false},          //  4
    {"form", 1, 1, false},        //  5
    {"mold", 1, 4, false},        //  6
    {nullptr, 3, 0, false},       //  7 eval-path: parent, element, new value
    {nullptr, 0, 0, false},       //  8 empty
    {nullptr, 3, 0, false},       //  9 compare: value1, value2, op code
    {"absolute", 1, 0, true},     // 10
    {"add", 2, 0, true},          // 11
    {"divide", 2, 0, true},       // 12
    {"multiply", 2, 0, true},     // 13
    {"negate", 1, 0, false},      // 14
    {"power", 2, 0, true},        // 15
    {"remainder", 2, 0, true},    // 16
    {"round", 1, 7, false},       // 17
    {"subtract", 2, 0, true},     // 18
    {"even?", 1, 0, false},       // 19
    {"odd?", 1, 0, false},        // 20
    {"and~", 2, 0, true},         // 21
    {"complement", 1, 0, false},  // 22
    {"or~", 2, 0, true},          // 23
    {"xor~", 2, 0, true},         // 24
    {"append", 2, 3, false},      // 25
    {"at", 2, 0, true},           // 26
    {"back", 1, 0, true},         // 27
    {"change", 2, 3, false},      // 28
    {"clear", 1, 0, false},       // 29
    {"copy", 1, 3, false},        // 30
    {"find", 2, 11, false},       // 31
    {"head", 1, 0, true},         // 32
    {"head?", 1, 0, true},        // 33
    {"index?", 1, 0, true},       // 34
    {"insert", 2, 3, false},      // 35
    {"length?", 1, 0, false},     // 36
    {"move", 2, 1, false},        // 37
    {"next", 1, 0, true},         // 38
    {"pick", 2, 0, false},        // 39
    {"poke", 3, 0, false},        // 40
    {"put", 3, 1, false},         // 41
    {"remove", 1, 2, false},      // 42
    {"reverse", 1, 2, false},     // 43
    {"select", 2, 9, false},      // 44
    {"sort", 1, 7, false},        // 45
    {"skip", 2, 0, true},         // 46
    {"swap", 2, 0, false},        // 47
    {"tail", 1, 0, true},         // 48
    {"tail?", 1, 0, true},        // 49
    {"take", 1, 3, false},        // 50
    {"trim", 1, 6, false},        // 51
    {"create", 1, 0, false},      // 52
    {"close", 1, 0, false},       // 53
    {"delete", 1, 0, false},      // 54
    {"modify", 3, 1, false},      // 55
    {"open", 1, 5, false},        // 56
    {"open?", 1, 0, false},       // 57
    {"query", 1, 0, false},       // 58
    {"read", 1, 6, false},        // 59
    {"rename", 2, 0, false},      // 60
    {"update", 1, 0, false},      // 61
    {"write", 2, 8, false},       // 62
};

}  // namespace kiv
