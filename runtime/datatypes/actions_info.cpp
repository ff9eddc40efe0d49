#include "runtime/datatypes/actions.h"

namespace kiv {

const ActionInfo kActionInfo[kActionCount + 1] = {
    {nullptr, 0, 0, false, nullptr},        //  0 unused
    {"make", 2, 0, false, "type"},          //  1
    {"random", 1, 3, false, "value"},       //  2
    {"reflect", 2, 0, false, "value"},      //  3
    {"to", 2, 0, false, "type"},            //  4
    {"form", 1, 1, false, "value"},         //  5
    {"mold", 1, 4, false, "value"},         //  6
    {nullptr, 3, 0, false, "parent"},       //  7 eval-path: parent, element, new value
    {nullptr, 0, 0, false, nullptr},        //  8 empty
    {nullptr, 3, 0, false, "value1"},       //  9 compare: value1, value2, op code
    {"absolute", 1, 0, true, "value"},      // 10
    {"add", 2, 0, true, "value1"},          // 11
    {"divide", 2, 0, true, "value1"},       // 12
    {"multiply", 2, 0, true, "value1"},     // 13
    {"negate", 1, 0, false, "number"},      // 14
    {"power", 2, 0, true, "number"},        // 15
    {"remainder", 2, 0, true, "value1"},    // 16
    {"round", 1, 7, false, "n"},            // 17
    {"subtract", 2, 0, true, "value1"},     // 18
    {"even?", 1, 0, false, "number"},       // 19
    {"odd?", 1, 0, false, "number"},        // 20
    {"and~", 2, 0, true, "value1"},         // 21
    {"complement", 1, 0, false, "value"},   // 22
    {"or~", 2, 0, true, "value1"},          // 23
    {"xor~", 2, 0, true, "value1"},         // 24
    {"append", 2, 3, false, "series"},      // 25
    {"at", 2, 0, true, "series"},           // 26
    {"back", 1, 0, true, "series"},         // 27
    {"change", 2, 3, false, "series"},      // 28
    {"clear", 1, 0, false, "series"},       // 29
    {"copy", 1, 3, false, "value"},         // 30
    {"find", 2, 11, false, "series"},       // 31
    {"head", 1, 0, true, "series"},         // 32
    {"head?", 1, 0, true, "series"},        // 33
    {"index?", 1, 0, true, "series"},       // 34
    {"insert", 2, 3, false, "series"},      // 35
    {"length?", 1, 0, false, "series"},     // 36
    {"move", 2, 1, false, "origin"},        // 37
    {"next", 1, 0, true, "series"},         // 38
    {"pick", 2, 0, false, "series"},        // 39
    {"poke", 3, 0, false, "series"},        // 40
    {"put", 3, 1, false, "series"},         // 41
    {"remove", 1, 2, false, "series"},      // 42
    {"reverse", 1, 2, false, "series"},     // 43
    {"select", 2, 9, false, "series"},      // 44
    {"sort", 1, 7, false, "series"},        // 45
    {"skip", 2, 0, true, "series"},         // 46
    {"swap", 2, 0, false, "series1"},       // 47
    {"tail", 1, 0, true, "series"},         // 48
    {"tail?", 1, 0, true, "series"},        // 49
    {"take", 1, 3, false, "series"},        // 50
    {"trim", 1, 6, false, "series"},        // 51
    {"create", 1, 0, false, "port"},        // 52
    {"close", 1, 0, false, "port"},         // 53
    {"delete", 1, 0, false, "file"},        // 54
    {"modify", 3, 1, false, "target"},      // 55
    {"open", 1, 5, false, "port"},          // 56
    {"open?", 1, 0, false, "port"},         // 57
    {"query", 1, 0, false, "target"},       // 58
    {"read", 1, 6, false, "source"},        // 59
    {"rename", 2, 0, false, "from"},        // 60
    {"update", 1, 0, false, "port"},        // 61
    {"write", 2, 8, false, "destination"},  // 62
};

}  // namespace kiv
