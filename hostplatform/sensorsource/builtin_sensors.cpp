// The built-in sensors: a two-socket server in a room whose load and
// temperature peak in the afternoon.  Every reading is a daily cycle that
// peaks at the given local hour (negative swings dip instead: rails droop
// under load) plus a wobble of some tens of minutes, so that a chart of a
// few hours or of the week looks like a real machine's.
//
// Device ids follow the information store's ranges: temperatures
// 0x3000-0x3255, fans 0x5000-0x50C0, voltages 0x7000-0x703E, power and
// supplies 0x8000-0x8028.  GPU0_Temp is an empty slot (its reading carries
// the skip flag) and PSU_Redundancy is an event-only sensor (record type 3).
#include "sensor_source.h"

namespace tk::host {

namespace {

struct BuiltinRow {
    uint8_t num;
    const char *name;
    uint8_t type;
    uint8_t skip;
    uint16_t devid;
    double base, swing, peak_hour, wobble, wobble_minutes;
};

constexpr BuiltinRow kRows[] = {
    // Temperatures, degrees C.
    {1, "CPU0_Temp", 1, 0, 0x3001, 52.0, 9.0, 14.5, 2.5, 47},
    {2, "CPU1_Temp", 1, 0, 0x3002, 49.0, 8.0, 14.5, 2.2, 53},
    {3, "CPU0_VR_Temp", 1, 0, 0x3010, 46.0, 5.0, 14.5, 1.2, 61},
    {4, "CPU1_VR_Temp", 1, 0, 0x3011, 44.0, 5.0, 14.5, 1.1, 67},
    {5, "DIMM_A0_Temp", 2, 0, 0x3020, 41.0, 4.0, 15.0, 0.8, 71},
    {6, "DIMM_B0_Temp", 2, 0, 0x3021, 42.0, 4.0, 15.0, 0.8, 73},
    {7, "DIMM_C0_Temp", 2, 0, 0x3022, 40.0, 4.0, 15.0, 0.8, 79},
    {8, "DIMM_D0_Temp", 2, 0, 0x3023, 40.5, 4.0, 15.0, 0.8, 83},
    {9, "Inlet_Temp", 1, 0, 0x3100, 23.0, 2.5, 16.0, 0.4, 131},
    {10, "Outlet_Temp", 1, 0, 0x3101, 37.0, 6.0, 15.0, 1.5, 59},
    {11, "PCH_Temp", 1, 0, 0x3110, 49.0, 3.0, 15.0, 0.7, 89},
    {12, "NIC_Temp", 1, 0, 0x3120, 56.0, 3.0, 15.0, 1.0, 97},
    {13, "PSU1_Temp", 1, 0, 0x3200, 34.0, 4.0, 15.5, 0.9, 101},
    {14, "PSU2_Temp", 1, 0, 0x3201, 35.0, 4.0, 15.5, 0.9, 103},
    {15, "HDD_Max_Temp", 1, 0, 0x3250, 34.0, 2.0, 16.0, 0.5, 151},
    {16, "M2_SSD_Temp", 1, 0, 0x3251, 41.0, 3.0, 15.0, 1.2, 43},
    {17, "GPU0_Temp", 1, 1, 0x3240, 0.0, 0.0, 0.0, 0.0, 60},
    // Fans, RPM.
    {48, "FAN1_Speed", 1, 0, 0x5000, 7200, 1400, 14.5, 250, 37},
    {49, "FAN2_Speed", 1, 0, 0x5020, 7150, 1400, 14.5, 240, 41},
    {50, "FAN3_Speed", 1, 0, 0x5040, 7300, 1450, 14.5, 260, 39},
    {51, "FAN4_Speed", 1, 0, 0x5060, 7250, 1450, 14.5, 255, 43},
    {52, "FAN5_Speed", 1, 0, 0x5080, 6900, 1300, 14.5, 230, 47},
    {53, "FAN6_Speed", 1, 0, 0x50A0, 6950, 1300, 14.5, 235, 51},
    // Voltages, V.
    {80, "P12V", 1, 0, 0x7000, 12.06, -0.05, 14.5, 0.015, 29},
    {81, "P5V", 1, 0, 0x7004, 5.03, -0.02, 14.5, 0.006, 31},
    {82, "P3V3", 1, 0, 0x7008, 3.32, -0.012, 14.5, 0.004, 33},
    {83, "P5V_STBY", 1, 0, 0x700C, 5.01, -0.01, 14.5, 0.003, 35},
    {84, "P3V3_STBY", 1, 0, 0x7010, 3.30, -0.008, 14.5, 0.003, 37},
    {85, "CPU0_VCORE", 1, 0, 0x7020, 1.78, 0.04, 14.5, 0.012, 23},
    {86, "CPU1_VCORE", 1, 0, 0x7021, 1.79, 0.04, 14.5, 0.012, 27},
    {87, "DIMM_VDDQ_AB", 1, 0, 0x7030, 1.21, 0.004, 15.0, 0.002, 57},
    {88, "VBAT", 2, 0, 0x703E, 3.04, 0.003, 4.0, 0.001, 173},
    // Power, W, and supply input current, A.
    {112, "PSU1_PIN", 1, 0, 0x8000, 330, 90, 14.5, 22, 19},
    {113, "PSU2_PIN", 1, 0, 0x8001, 322, 88, 14.5, 21, 21},
    {114, "PSU1_POUT", 1, 0, 0x8008, 305, 84, 14.5, 20, 19},
    {115, "PSU2_POUT", 1, 0, 0x8009, 298, 82, 14.5, 19, 21},
    {116, "PSU1_IIN", 1, 0, 0x8010, 1.45, 0.39, 14.5, 0.09, 19},
    {117, "Total_Power", 1, 0, 0x8020, 627, 178, 14.5, 41, 20},
    {118, "CPU_Power", 1, 0, 0x8024, 190, 70, 14.5, 18, 17},
    // Events only: no reading worth keeping.
    {144, "PSU_Redundancy", 3, 0, 0x8028, 0.0, 0.0, 0.0, 0.0, 60},
};

std::shared_ptr<const SensorTable> MakeBuiltin() {
    auto table = std::make_shared<SensorTable>();
    table->origin = "built-in";
    for (const BuiltinRow &row : kRows) {
        HostSensor s;
        s.num = row.num;
        s.name = row.name;
        s.type = row.type;
        s.skip = row.skip;
        s.devid = row.devid;
        s.moving = true;
        s.wave.base = row.base;
        s.wave.swing = row.swing;
        s.wave.period = 86400;
        s.wave.phase = row.peak_hour * 3600;
        s.wave.wobble = row.wobble;
        s.wave.wobble_period = row.wobble_minutes * 60;
        table->sensors.push_back(s);
    }
    return table;
}

}  // namespace

std::shared_ptr<const SensorTable> BuiltinSensorTable() {
    // Never destroyed: threads may still read it while the process exits.
    static const auto *table = new std::shared_ptr<const SensorTable>(MakeBuiltin());
    return *table;
}

}  // namespace tk::host
