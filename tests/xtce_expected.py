"""Values of the real CTIM, IDEX and SUDA packets, worked out by hand from their hex dumps and XTCE.

Positions: XTCE bit positions from the first bit of the packet (after any record
header), most significant bit first, found by walking base containers first,
entries in order, container references expanded in place. Each value comment gives
bits, the covering bytes in hex, and the shift and mask applied to the big-endian
integer of those bytes. Every fifth of the values first worked out is kept here."""

# ======================================================================
# CTIM: 9 APIDs, one concrete container per APID (APID_<n>_Packet).
# Primary header in every packet: byte 0-1 = VERSION(3) TYPE(1) SEC_HDR_FLAG(1) PKT_APID(11),
# byte 2-3 = SEQ_FLGS(2) SEQ_CTR(14), 4-5 PKT_LEN, 6-9 SHCOARSE, 10-11 SHFINE.
# APID_1_Packet: the XTCE entries add up to 901 bits, the packets are 912 bits (114 bytes).
# Three 1-bit fields at bits 120-122 and two at 435-436 (no padding in the XTCE)
# put every later field 3 then 5 bits off byte boundaries; the values below are what
# the XTCE says (the 11 trailing bits are not described).
# ======================================================================
CTIM = {
    "file": "ccsds_2021_155_14_39_51", "record_header_bytes": 0, "packets": 1499, "file_bytes": 1321066,
    "containers": {'APID_1_Packet': 104, 'APID_20_Packet': 6, 'APID_32_Packet': 104, 'APID_33_Packet': 1, 'APID_34_Packet': 1, 'APID_39_Packet': 1, 'APID_41_Packet': 1147, 'APID_42_Packet': 72, 'APID_47_Packet': 63},
    # packet index -> (file offset of the packet, i.e. after its record header; total bytes; container)
    "picked": {
        0: (0, 114, "APID_1_Packet"),
        1: (114, 34, "APID_32_Packet"),
        18: (1332, 30, "APID_20_Packet"),
        87: (6306, 46, "APID_20_Packet"),
        89: (6382, 146, "APID_39_Packet"),
        90: (6528, 1018, "APID_47_Packet"),
        107: (23834, 114, "APID_1_Packet"),
        141: (56558, 114, "APID_1_Packet"),
        159: (71106, 158, "APID_34_Packet"),
        160: (71264, 1018, "APID_42_Packet"),
        236: (144856, 98, "APID_33_Packet"),
        237: (144954, 1018, "APID_41_Packet"),
        737: (627522, 114, "APID_1_Packet"),
        749: (637850, 1018, "APID_41_Packet"),
        1458: (1318076, 30, "APID_20_Packet"),
        1497: (1320918, 114, "APID_1_Packet"),
        1498: (1321032, 34, "APID_32_Packet"),
    },
    # (container, packet index in the stream, parameter name, expected raw value)
    # unsigned/signed integers as Python int, IEEE floats as the Python float of the 32-bit value
    "values": [
        # --- packet 0: APID_1_Packet ---
        ('APID_1_Packet', 0, 'VERSION', 0),  # bits 0-2: byte 0 = 08; int >> 5 & 0x7 = 0x0
        ('APID_1_Packet', 0, 'SEQ_CTR', 4064),  # bits 18-31: byte 2-3 = cf e0; int >> 0 & 0x3fff = 0x0fe0
        ('APID_1_Packet', 0, 'sw_patch_version', 4),  # bits 112-119: byte 14 = 04
        ('APID_1_Packet', 0, 'ana_zynq_vccint', 691),  # bits 139-154: byte 17-19 = e0 56 6b; int >> 5 & 0xffff = 0x02b3
        ('APID_1_Packet', 0, 'sw_cmd_rjct_count', 53248),  # bits 363-378: byte 45-47 = 1a 00 00; int >> 5 & 0xffff = 0xd000
        ('APID_1_Packet', 0, 'sw_ccd_shutter_override', 0),  # bits 493-500: byte 61-62 = 00 00; int >> 3 & 0xff = 0x00
        ('APID_1_Packet', 0, 'sw_tec_slew_rate', 2.178796305569263e-39),  # bits 629-660: byte 78-82 = 00 00 bd cc cc; int >> 3 & 0xffffffff = 0x0017b999; >f of 0017b999 = 2.178796305569263e-39
        ('APID_32_Packet', 1, 'TYPE', 0),  # bits 3-3: byte 0 = 08; int >> 4 & 0x1 = 0x0
        ('APID_32_Packet', 1, 'PKT_LEN', 27),  # bits 32-47: byte 4-5 = 00 1b
        ('APID_32_Packet', 1, 'img_biasStatus_0', 0),  # bits 128-135: byte 16 = 00
        ('APID_20_Packet', 18, 'SEC_HDR_FLAG', 1),  # bits 4-4: byte 0 = 08; int >> 3 & 0x1 = 0x1
        ('APID_20_Packet', 18, 'SHCOARSE', 481168537),  # bits 48-79: byte 6-9 = 1c ae 0c 99
        ('APID_20_Packet', 18, 'log_logid_hdr', 255),  # bits 168-175: byte 21 = ff
        ('APID_20_Packet', 87, 'TYPE', 0),  # bits 3-3: byte 0 = 08; int >> 4 & 0x1 = 0x0
        ('APID_20_Packet', 87, 'PKT_LEN', 39),  # bits 32-47: byte 4-5 = 00 27
        ('APID_20_Packet', 87, 'log_msgid_hdr', 2317),  # bits 144-159: byte 18-19 = 09 0d
        # --- packet 89: APID_39_Packet ---
        ('APID_39_Packet', 89, 'VERSION', 0),  # bits 0-2: byte 0 = 08; int >> 5 & 0x7 = 0x0
        ('APID_39_Packet', 89, 'SEQ_CTR', 4),  # bits 18-31: byte 2-3 = c0 04; int >> 0 & 0x3fff = 0x0004
        ('APID_39_Packet', 89, 'img_orbit_vel_2_trim2d', 0.0),  # bits 608-639: byte 76-79 = 00 00 00 00; >f of 00000000 = 0.0
        ('APID_47_Packet', 90, 'TYPE', 0),  # bits 3-3: byte 0 = 08; int >> 4 & 0x1 = 0x0
        ('APID_47_Packet', 90, 'PKT_LEN', 1011),  # bits 32-47: byte 4-5 = 03 f3
        ('APID_47_Packet', 90, 'img_framepkt_cnt_TRIM2D', 0),  # bits 144-159: byte 18-19 = 00 00
        ('APID_47_Packet', 90, 'packet_checksum', 30461),  # bits 8128-8143: byte 1016-1017 = 76 fd
        ('APID_1_Packet', 107, 'SEQ_FLGS', 3),  # bits 16-17: byte 2 = d0; int >> 6 & 0x3 = 0x3
        ('APID_1_Packet', 107, 'sw_minor_version', 1),  # bits 104-111: byte 13 = 01
        ('APID_1_Packet', 107, 'ana_zynq_temp', 7521),  # bits 123-138: byte 15-17 = 03 ac 2e; int >> 5 & 0xffff = 0x1d61
        ('APID_1_Packet', 107, 'sw_cmd_recv_count', 38912),  # bits 347-362: byte 43-45 = b3 00 1b; int >> 5 & 0xffff = 0x9800
        ('APID_1_Packet', 107, 'sw_log_drop_count', 1824),  # bits 453-468: byte 56-58 = 00 39 00; int >> 3 & 0xffff = 0x0720
        ('APID_1_Packet', 107, 'sw_tec_state', 214),  # bits 621-628: byte 77-78 = 06 b5; int >> 3 & 0xff = 0xd6
        # --- packet 141: APID_1_Packet ---
        ('APID_1_Packet', 141, 'VERSION', 0),  # bits 0-2: byte 0 = 08; int >> 5 & 0x7 = 0x0
        ('APID_1_Packet', 141, 'SEQ_CTR', 4107),  # bits 18-31: byte 2-3 = d0 0b; int >> 0 & 0x3fff = 0x100b
        ('APID_1_Packet', 141, 'sw_patch_version', 4),  # bits 112-119: byte 14 = 04
        ('APID_1_Packet', 141, 'ana_zynq_vccint', 12980),  # bits 139-154: byte 17-19 = 66 56 8d; int >> 5 & 0xffff = 0x32b4
        ('APID_1_Packet', 141, 'sw_cmd_rjct_count', 55296),  # bits 363-378: byte 45-47 = 1b 00 00; int >> 5 & 0xffff = 0xd800
        ('APID_1_Packet', 141, 'sw_ccd_shutter_override', 0),  # bits 493-500: byte 61-62 = 00 00; int >> 3 & 0xff = 0x00
        ('APID_1_Packet', 141, 'sw_tec_slew_rate', 0.0),  # bits 629-660: byte 78-82 = 00 00 00 00 00; int >> 3 & 0xffffffff = 0x00000000; >f of 00000000 = 0.0
        ('APID_34_Packet', 159, 'TYPE', 0),  # bits 3-3: byte 0 = 08; int >> 4 & 0x1 = 0x0
        ('APID_34_Packet', 159, 'PKT_LEN', 151),  # bits 32-47: byte 4-5 = 00 97
        ('APID_34_Packet', 159, 'tlm_stat_mean_bin2d_raw_over', 36170.3828125),  # bits 800-831: byte 100-103 = 47 0d 4a 62; >f of 470d4a62 = 36170.3828125
        ('APID_42_Packet', 160, 'SEC_HDR_FLAG', 1),  # bits 4-4: byte 0 = 08; int >> 3 & 0x1 = 0x1
        ('APID_42_Packet', 160, 'SHCOARSE', 481168702),  # bits 48-79: byte 6-9 = 1c ae 0d 3e
        ('APID_42_Packet', 160, 'img_framepkt_len_BIN2D', 1976),  # bits 160-191: byte 20-23 = 00 00 07 b8
        # --- packet 236: APID_33_Packet ---
        ('APID_33_Packet', 236, 'VERSION', 0),  # bits 0-2: byte 0 = 08; int >> 5 & 0x7 = 0x0
        ('APID_33_Packet', 236, 'SEQ_CTR', 4),  # bits 18-31: byte 2-3 = c0 04; int >> 0 & 0x3fff = 0x0004
        ('APID_33_Packet', 236, 'img_target_id_noproc', 17),  # bits 192-207: byte 24-25 = 00 11
        # --- packet 237: APID_41_Packet ---
        ('APID_41_Packet', 237, 'VERSION', 0),  # bits 0-2: byte 0 = 08; int >> 5 & 0x7 = 0x0
        ('APID_41_Packet', 237, 'SEQ_CTR', 3442),  # bits 18-31: byte 2-3 = cd 72; int >> 0 & 0x3fff = 0x0d72
        ('APID_41_Packet', 237, 'img_framepkt_tot_NOPROC', 1147),  # bits 128-143: byte 16-17 = 04 7b
        ('APID_41_Packet', 237, 'img_frame_cksm_NOPROC', 1510563967),  # bits 8096-8127: byte 1012-1015 = 5a 09 60 7f
        ('APID_1_Packet', 737, 'PKT_APID', 1),  # bits 5-15: byte 0-1 = 08 01; int >> 0 & 0x7ff = 0x001
        ('APID_1_Packet', 737, 'SHFINE', 67),  # bits 80-95: byte 10-11 = 00 43
        ('APID_1_Packet', 737, 'sw_sd_state_card0', 0),  # bits 122-122: byte 15 = 03; int >> 5 & 0x1 = 0x0
        ('APID_1_Packet', 737, 'ana_ccd_n5', 63508),  # bits 315-330: byte 39-41 = 1f 02 80; int >> 5 & 0xffff = 0xf814
        ('APID_1_Packet', 737, 'sw_cmd_arm_state_debug', 0),  # bits 436-436: byte 54 = 00; int >> 3 & 0x1 = 0x0
        ('APID_1_Packet', 737, 'sw_fsw_mode', 1),  # bits 613-620: byte 76-77 = 00 0b; int >> 3 & 0xff = 0x01
        ('APID_1_Packet', 737, 'packet_checksum', 34),  # bits 885-900: byte 110-112 = 00 01 11; int >> 3 & 0xffff = 0x0022  (real checksum = last 2 bytes 11 b5, bits 896-911; the XTCE's last field ends at bit 900)
        ('APID_41_Packet', 749, 'SEQ_FLGS', 3),  # bits 16-17: byte 2 = cf; int >> 6 & 0x3 = 0x3
        ('APID_41_Packet', 749, 'img_framepkt_id_NOPROC', 3),  # bits 96-127: byte 12-15 = 00 00 00 03
        ('APID_41_Packet', 749, 'img_frame_data_NOPROC_987', 142),  # bits 8088-8095: byte 1011 = 8e
        ('APID_20_Packet', 1458, 'SEC_HDR_FLAG', 1),  # bits 4-4: byte 0 = 08; int >> 3 & 0x1 = 0x1
        ('APID_20_Packet', 1458, 'SHCOARSE', 481168741),  # bits 48-79: byte 6-9 = 1c ae 0d 65
        ('APID_20_Packet', 1458, 'log_logid_hdr', 255),  # bits 168-175: byte 21 = ff
        ('APID_1_Packet', 1497, 'TYPE', 0),  # bits 3-3: byte 0 = 08; int >> 4 & 0x1 = 0x0
        ('APID_1_Packet', 1497, 'PKT_LEN', 107),  # bits 32-47: byte 4-5 = 00 6b
        ('APID_1_Packet', 1497, 'REUSABLE_SPARE_1', 0),  # bits 120-120: byte 15 = 03; int >> 7 & 0x1 = 0x0
        ('APID_1_Packet', 1497, 'ana_zynq_status', 160),  # bits 235-242: byte 29-30 = 54 01; int >> 5 & 0xff = 0xa0
        ('APID_1_Packet', 1497, 'sw_cmd_fail_code', 0),  # bits 427-434: byte 53-54 = 00 00; int >> 5 & 0xff = 0x00
        ('APID_1_Packet', 1497, 'sw_ccd_frame_id', 0),  # bits 501-532: byte 62-66 = 00 00 00 00 00; int >> 3 & 0xffffffff = 0x00000000
        ('APID_1_Packet', 1497, 'sw_tec_setpoint', -1.7385333147818615e-23),  # bits 661-692: byte 82-86 = cc cd 41 20 00; int >> 3 & 0xffffffff = 0x99a82400; >f of 99a82400 = -1.7385333147818615e-23
        ('APID_32_Packet', 1498, 'SEC_HDR_FLAG', 1),  # bits 4-4: byte 0 = 08; int >> 3 & 0x1 = 0x1
        ('APID_32_Packet', 1498, 'SHCOARSE', 481168761),  # bits 48-79: byte 6-9 = 1c ae 0d 79
        ('APID_32_Packet', 1498, 'img_biasStatus_15', 0),  # bits 248-255: byte 31 = 00
    ],
    "labels": [
    ],
    # a parameter referenced more than once in one container: values of each occurrence, in entry order
    "repeated_entries": [
        ('APID_20_Packet', 18, 'SPARE_8', [0, 0]),  # bits 176-183: byte 22 = 00; bits 184-191: byte 23 = 00
        ('APID_20_Packet', 87, 'SPARE_8', [0, 0]),  # bits 176-183: byte 22 = 00; bits 184-191: byte 23 = 00
        ('APID_20_Packet', 1458, 'SPARE_8', [0, 0]),  # bits 176-183: byte 22 = 00; bits 184-191: byte 23 = 00
    ],
    "properties": {
        "all_version_0_type_0_sechdr_1_seqflags_3": True,
        "packet_bytes_eq_PKT_LEN_plus_7": True,  # and the packets tile the file exactly (no tail)
        # SEQ_CTR steps by +1 (mod 2**14) between consecutive packets of the same APID, except APID 20
        "seq_contiguous_apids": [1, 32, 41, 42, 47],
        "seq_single_packet_apids": [33, 34, 39],
        "seq_ctr_apid20": [5279, 5282, 5316, 5317, 5319, 5323],  # gaps 3, 34, 1, 2, 4
        "seq_ctr_first_last": {1: (4064, 4167), 32: (4065, 4168), 41: (3442, 4588), 42: (217, 288), 47: (190, 252)},
        # checksum: last 2 bytes of every packet (big-endian) == sum(packet[:-2]) & 0xFFFF, all 1499 hold.
        # The XTCE names it packet_checksum (U16, last entry). Where the container ends at the packet end
        # (all but APID 1 and the one 46-byte APID 20 packet) the decoded packet_checksum equals that sum.
        "checksum": {"kind": "sum of bytes mod 2**16", "over": "packet[:-2]", "stored": "packet[-2:], big-endian"},
        "container_bits": {"APID_1_Packet": 901, "APID_20_Packet": 240, "APID_32_Packet": 272, "APID_33_Packet": 784,
                           "APID_34_Packet": 1264, "APID_39_Packet": 1168, "APID_41_Packet": 8144, "APID_42_Packet": 8144, "APID_47_Packet": 8144},
        # packets longer than their container (the XTCE leaves the rest of the packet undescribed)
        "longer_than_container": "all 104 APID_1_Packet (912 vs 901 bits) and APID_20_Packet index 87 (368 vs 240 bits)",
        "packet_bytes": {"APID_1_Packet": [114], "APID_20_Packet": [30, 46], "APID_32_Packet": [34], "APID_33_Packet": [98],
                         "APID_34_Packet": [158], "APID_39_Packet": [146], "APID_41_Packet": [1018], "APID_42_Packet": [1018], "APID_47_Packet": [1018]},
    },
}

# ======================================================================
# IDEX: APID 1424. IDX_SCI0 (abstract) = CCSDSPacket header (bits 0-47), then
# SecondaryHeaderContainer expanded in place (SHCOARSE bits 48-79, SHFINE 80-95), then
# the science header (bits 96-351, bytes 12-43). Sci0TypeZero (IDX__SCI0TYPE == 1) adds a fixed
# 1968-bit event header + sync + CRC: 2432 bits = 304 bytes. Sci0TypeNonZero (IDX__SCI0TYPE > 1)
# adds IDX__SCI0RAW (8*PKT_LEN-328 bits, from byte 44) then sync (16) and CRC (16) at the packet end.
# IDX__SCI0TYPE = bits 128-135 = byte 16. SHCOARSE/SHFINE are FloatParameterType with an unsigned
# IntegerDataEncoding: raw values are ints, engineering values the same numbers as floats.
# ======================================================================
IDEX = {
    "file": "sciData_2023_052_14_45_05", "record_header_bytes": 0, "packets": 78, "file_bytes": 220344,
    "containers": {'Sci0TypeNonZero': 72, 'Sci0TypeZero': 6},
    # packet index -> (file offset of the packet, i.e. after its record header; total bytes; container)
    "picked": {
        0: (0, 304, "Sci0TypeZero"),
        1: (304, 4080, "Sci0TypeNonZero"),
        3: (8464, 2908, "Sci0TypeNonZero"),
        10: (33508, 1072, "Sci0TypeNonZero"),
        11: (34580, 1072, "Sci0TypeNonZero"),
        12: (35652, 1072, "Sci0TypeNonZero"),
        39: (110172, 304, "Sci0TypeZero"),
        40: (110476, 4080, "Sci0TypeNonZero"),
        65: (183620, 304, "Sci0TypeZero"),
        77: (219272, 1072, "Sci0TypeNonZero"),
    },
    # (container, packet index in the stream, parameter name, expected raw value)
    # unsigned/signed integers as Python int, IEEE floats as the Python float of the 32-bit value
    "values": [
        # --- packet 0: Sci0TypeZero ---
        ('Sci0TypeZero', 0, 'VERSION', 0),  # bits 0-2: byte 0 = 0d; int >> 5 & 0x7 = 0x0
        ('Sci0TypeZero', 0, 'SRC_SEQ_CTR', 0),  # bits 18-31: byte 2-3 = c0 00; int >> 0 & 0x3fff = 0x0000
        ('Sci0TypeZero', 0, 'IDX__SCI0TYPE', 1),  # bits 128-135: byte 16 = 01
        ('Sci0TypeZero', 0, 'IDX__SCI0COMP', 0),  # bits 159-159: byte 19 = 04; int >> 0 & 0x1 = 0x0
        ('Sci0TypeZero', 0, 'IDX__SCI0VER', 9),  # bits 208-223: byte 26-27 = 00 09
        ('Sci0TypeZero', 0, 'IDX__TXHDRTIMESUBS', 3710),  # bits 432-447: byte 54-55 = 0e 7e
        ('Sci0TypeZero', 0, 'IDX__TXHDREVTNUM', 0),  # bits 464-479: byte 58-59 = 00 00
        ('Sci0TypeZero', 0, 'IDX__TXHDRPOLCTRL', 0),  # bits 759-759: byte 94 = 00; int >> 0 & 0x1 = 0x0
        ('Sci0TypeZero', 0, 'IDX__TXHDRTOFMAX', 1073741823),  # bits 896-927: byte 112-115 = 3f ff ff ff
        ('Sci0TypeZero', 0, 'IDX__CRCSCI0PKT', 60442),  # bits 2416-2431: byte 302-303 = ec 1a
        ('Sci0TypeNonZero', 1, 'SEQ_FLGS', 3),  # bits 16-17: byte 2 = c0; int >> 6 & 0x3 = 0x3
        ('Sci0TypeNonZero', 1, 'IDX__SCI0AID', 56026),  # bits 96-127: byte 12-15 = 00 00 da da
        ('Sci0TypeNonZero', 1, 'IDX__SCI0FRAG', 1),  # bits 158-158: byte 19 = 06; int >> 1 & 0x1 = 0x1
        ('Sci0TypeNonZero', 1, 'IDX__SCI0FRAGOFF', 0),  # bits 192-207: byte 24-25 = 00 00
        # --- packet 3: Sci0TypeNonZero ---
        ('Sci0TypeNonZero', 3, 'VERSION', 0),  # bits 0-2: byte 0 = 0d; int >> 5 & 0x7 = 0x0
        ('Sci0TypeNonZero', 3, 'SRC_SEQ_CTR', 3),  # bits 18-31: byte 2-3 = c0 03; int >> 0 & 0x3fff = 0x0003
        ('Sci0TypeNonZero', 3, 'IDX__SCI0TYPE', 2),  # bits 128-135: byte 16 = 02
        ('Sci0TypeNonZero', 3, 'IDX__SCI0COMP', 0),  # bits 159-159: byte 19 = 04; int >> 0 & 0x1 = 0x0
        ('Sci0TypeNonZero', 3, 'IDX__SCI0VER', 9),  # bits 208-223: byte 26-27 = 00 09
        ('Sci0TypeNonZero', 10, 'TYPE', 0),  # bits 3-3: byte 0 = 0d; int >> 4 & 0x1 = 0x0
        ('Sci0TypeNonZero', 10, 'PKT_LEN', 1065),  # bits 32-47: byte 4-5 = 04 29
        ('Sci0TypeNonZero', 10, 'IDX__SCI0CONT', 127),  # bits 136-143: byte 17 = 7f
        ('Sci0TypeNonZero', 10, 'IDX__SCI0EVTNUM', 0),  # bits 160-175: byte 20-21 = 00 00
        ('Sci0TypeNonZero', 10, 'IDX__SCI0TIME32', 1031),  # bits 224-255: byte 28-31 = 00 00 04 07
        ('Sci0TypeNonZero', 11, 'SEC_HDR_FLG', 1),  # bits 4-4: byte 0 = 0d; int >> 3 & 0x1 = 0x1
        ('Sci0TypeNonZero', 11, 'SHCOARSE', 1277),  # bits 48-79: byte 6-9 = 00 00 04 fd
        ('Sci0TypeNonZero', 11, 'IDX__SCI0SPARE1', 0),  # bits 144-156: byte 18-19 = 00 04; int >> 3 & 0x1fff = 0x0000
        ('Sci0TypeNonZero', 11, 'IDX__SCI0CAT', 32),  # bits 176-183: byte 22 = 20
        ('Sci0TypeNonZero', 11, 'IDX__SYNCSCI0PKT', 13107),  # after IDX__SCI0RAW: bit 352 + (8*PKT_LEN-328 = 8192) bits = 8544; bits 8544-8559: byte 1068-1069 = 33 33
        ('Sci0TypeNonZero', 12, 'PKT_APID', 1424),  # bits 5-15: byte 0-1 = 0d 90; int >> 0 & 0x7ff = 0x590
        ('Sci0TypeNonZero', 12, 'SHFINE', 19201),  # bits 80-95: byte 10-11 = 4b 01
        ('Sci0TypeNonZero', 12, 'IDX__SCI0PACK', 1),  # bits 157-157: byte 19 = 04; int >> 2 & 0x1 = 0x1
        ('Sci0TypeNonZero', 12, 'IDX__SCI0QUAL', 5),  # bits 184-191: byte 23 = 05
        ('Sci0TypeNonZero', 12, 'IDX__CRCSCI0PKT', 57848),  # after IDX__SCI0RAW: bit 352 + (8*PKT_LEN-328 = 8208) bits = 8560; bits 8560-8575: byte 1070-1071 = e1 f8
        ('Sci0TypeZero', 39, 'SEQ_FLGS', 3),  # bits 16-17: byte 2 = c0; int >> 6 & 0x3 = 0x3
        ('Sci0TypeZero', 39, 'IDX__SCI0AID', 56026),  # bits 96-127: byte 12-15 = 00 00 da da
        ('Sci0TypeZero', 39, 'IDX__SCI0FRAG', 0),  # bits 158-158: byte 19 = 04; int >> 1 & 0x1 = 0x0
        ('Sci0TypeZero', 39, 'IDX__SCI0FRAGOFF', 0),  # bits 192-207: byte 24-25 = 00 00
        ('Sci0TypeZero', 39, 'IDX__TXHDRTIMESEC2', 1031),  # bits 416-431: byte 52-53 = 04 07
        ('Sci0TypeZero', 39, 'IDX__TXHDRTRIGID', 4),  # bits 454-463: byte 56-57 = 10 04; int >> 0 & 0x3ff = 0x004
        ('Sci0TypeZero', 39, 'IDX__TXHDRSP04', 0),  # bits 737-758: byte 92-94 = 00 00 00; int >> 1 & 0x3fffff = 0x000000
        ('Sci0TypeZero', 39, 'IDX__TXHDRHGTRIGMODE', 1),  # bits 766-767: byte 95 = 55; int >> 0 & 0x3 = 0x1
        ('Sci0TypeZero', 39, 'IDX__SYNCSCI0PKT', 13107),  # bits 2400-2415: byte 300-301 = 33 33
        ('Sci0TypeNonZero', 40, 'PKT_APID', 1424),  # bits 5-15: byte 0-1 = 0d 90; int >> 0 & 0x7ff = 0x590
        ('Sci0TypeNonZero', 40, 'SHFINE', 19218),  # bits 80-95: byte 10-11 = 4b 12
        ('Sci0TypeNonZero', 40, 'IDX__SCI0PACK', 1),  # bits 157-157: byte 19 = 06; int >> 2 & 0x1 = 0x1
        ('Sci0TypeNonZero', 40, 'IDX__SCI0QUAL', 5),  # bits 184-191: byte 23 = 05
        ('Sci0TypeNonZero', 40, 'IDX__CRCSCI0PKT', 12192),  # after IDX__SCI0RAW: bit 352 + (8*PKT_LEN-328 = 32272) bits = 32624; bits 32624-32639: byte 4078-4079 = 2f a0
        ('Sci0TypeZero', 65, 'SEQ_FLGS', 3),  # bits 16-17: byte 2 = c0; int >> 6 & 0x3 = 0x3
        ('Sci0TypeZero', 65, 'IDX__SCI0AID', 56026),  # bits 96-127: byte 12-15 = 00 00 da da
        ('Sci0TypeZero', 65, 'IDX__SCI0FRAG', 0),  # bits 158-158: byte 19 = 04; int >> 1 & 0x1 = 0x0
        ('Sci0TypeZero', 65, 'IDX__SCI0FRAGOFF', 0),  # bits 192-207: byte 24-25 = 00 00
        ('Sci0TypeZero', 65, 'IDX__TXHDRTIMESEC2', 1031),  # bits 416-431: byte 52-53 = 04 07
        ('Sci0TypeZero', 65, 'IDX__TXHDRTRIGID', 4),  # bits 454-463: byte 56-57 = 10 04; int >> 0 & 0x3ff = 0x004
        ('Sci0TypeZero', 65, 'IDX__TXHDRSP04', 0),  # bits 737-758: byte 92-94 = 00 00 00; int >> 1 & 0x3fffff = 0x000000
        ('Sci0TypeZero', 65, 'IDX__TXHDRHGTRIGMODE', 1),  # bits 766-767: byte 95 = 55; int >> 0 & 0x3 = 0x1
        ('Sci0TypeZero', 65, 'IDX__SYNCSCI0PKT', 13107),  # bits 2400-2415: byte 300-301 = 33 33
        ('Sci0TypeNonZero', 77, 'PKT_APID', 1424),  # bits 5-15: byte 0-1 = 0d 90; int >> 0 & 0x7ff = 0x590
        ('Sci0TypeNonZero', 77, 'SHFINE', 19201),  # bits 80-95: byte 10-11 = 4b 01
        ('Sci0TypeNonZero', 77, 'IDX__SCI0PACK', 1),  # bits 157-157: byte 19 = 04; int >> 2 & 0x1 = 0x1
        ('Sci0TypeNonZero', 77, 'IDX__SCI0QUAL', 5),  # bits 184-191: byte 23 = 05
        ('Sci0TypeNonZero', 77, 'IDX__CRCSCI0PKT', 762),  # after IDX__SCI0RAW: bit 352 + (8*PKT_LEN-328 = 8208) bits = 8560; bits 8560-8575: byte 1070-1071 = 02 fa
    ],
    "labels": [
        ('Sci0TypeZero', 0, 'IDX__SCI0PACK', 'EN'),  # raw 1 -> label
        ('Sci0TypeZero', 0, 'IDX__SCI0FRAG', 'DS'),  # raw 0 -> label
        ('Sci0TypeZero', 0, 'IDX__SCI0COMP', 'DS'),  # raw 0 -> label
        ('Sci0TypeZero', 0, 'IDX__TXHDRPOLSTAT', 'POS'),  # raw 0 -> label
        ('Sci0TypeZero', 0, 'IDX__TXHDRPOLCTRL', 'POS'),  # raw 0 -> label
        ('Sci0TypeZero', 0, 'IDX__TXHDRCOINENA', 'DIS'),  # raw 0 -> label
        ('Sci0TypeZero', 0, 'IDX__TXHDRLSTRIGMODE', 'ENA'),  # raw 1 -> label
        ('Sci0TypeNonZero', 1, 'IDX__SCI0PACK', 'EN'),  # raw 1 -> label
        ('Sci0TypeNonZero', 1, 'IDX__SCI0FRAG', 'EN'),  # raw 1 -> label
        ('Sci0TypeNonZero', 1, 'IDX__SCI0COMP', 'DS'),  # raw 0 -> label
        ('Sci0TypeNonZero', 3, 'IDX__SCI0PACK', 'EN'),  # raw 1 -> label
        ('Sci0TypeNonZero', 3, 'IDX__SCI0FRAG', 'DS'),  # raw 0 -> label
        ('Sci0TypeNonZero', 3, 'IDX__SCI0COMP', 'DS'),  # raw 0 -> label
        ('Sci0TypeNonZero', 10, 'IDX__SCI0PACK', 'EN'),  # raw 1 -> label
        ('Sci0TypeNonZero', 10, 'IDX__SCI0FRAG', 'DS'),  # raw 0 -> label
        ('Sci0TypeNonZero', 10, 'IDX__SCI0COMP', 'DS'),  # raw 0 -> label
        ('Sci0TypeNonZero', 11, 'IDX__SCI0PACK', 'EN'),  # raw 1 -> label
        ('Sci0TypeNonZero', 11, 'IDX__SCI0FRAG', 'DS'),  # raw 0 -> label
        ('Sci0TypeNonZero', 11, 'IDX__SCI0COMP', 'DS'),  # raw 0 -> label
        ('Sci0TypeNonZero', 12, 'IDX__SCI0PACK', 'EN'),  # raw 1 -> label
        ('Sci0TypeNonZero', 12, 'IDX__SCI0FRAG', 'DS'),  # raw 0 -> label
        ('Sci0TypeNonZero', 12, 'IDX__SCI0COMP', 'DS'),  # raw 0 -> label
        ('Sci0TypeZero', 39, 'IDX__SCI0PACK', 'EN'),  # raw 1 -> label
        ('Sci0TypeZero', 39, 'IDX__SCI0FRAG', 'DS'),  # raw 0 -> label
        ('Sci0TypeZero', 39, 'IDX__SCI0COMP', 'DS'),  # raw 0 -> label
        ('Sci0TypeZero', 39, 'IDX__TXHDRPOLSTAT', 'POS'),  # raw 0 -> label
        ('Sci0TypeZero', 39, 'IDX__TXHDRPOLCTRL', 'POS'),  # raw 0 -> label
        ('Sci0TypeZero', 39, 'IDX__TXHDRCOINENA', 'DIS'),  # raw 0 -> label
        ('Sci0TypeZero', 39, 'IDX__TXHDRLSTRIGMODE', 'ENA'),  # raw 1 -> label
        ('Sci0TypeNonZero', 40, 'IDX__SCI0PACK', 'EN'),  # raw 1 -> label
        ('Sci0TypeNonZero', 40, 'IDX__SCI0FRAG', 'EN'),  # raw 1 -> label
        ('Sci0TypeNonZero', 40, 'IDX__SCI0COMP', 'DS'),  # raw 0 -> label
        ('Sci0TypeZero', 65, 'IDX__SCI0PACK', 'EN'),  # raw 1 -> label
        ('Sci0TypeZero', 65, 'IDX__SCI0FRAG', 'DS'),  # raw 0 -> label
        ('Sci0TypeZero', 65, 'IDX__SCI0COMP', 'DS'),  # raw 0 -> label
        ('Sci0TypeZero', 65, 'IDX__TXHDRPOLSTAT', 'POS'),  # raw 0 -> label
        ('Sci0TypeZero', 65, 'IDX__TXHDRPOLCTRL', 'POS'),  # raw 0 -> label
        ('Sci0TypeZero', 65, 'IDX__TXHDRCOINENA', 'DIS'),  # raw 0 -> label
        ('Sci0TypeZero', 65, 'IDX__TXHDRLSTRIGMODE', 'ENA'),  # raw 1 -> label
        ('Sci0TypeNonZero', 77, 'IDX__SCI0PACK', 'EN'),  # raw 1 -> label
        ('Sci0TypeNonZero', 77, 'IDX__SCI0FRAG', 'DS'),  # raw 0 -> label
        ('Sci0TypeNonZero', 77, 'IDX__SCI0COMP', 'DS'),  # raw 0 -> label
    ],
    # (container, packet index, parameter, size in bytes, first 4 bytes, last 4 bytes, sha256 of the blob)
    "blobs": [
        # PKT_LEN = bytes 4-5 0f e9 = 4073; size = 8*4073-328 = 32256 bits = 4032 bytes; starts at bit 352 = byte 44, ends at byte 4075; packet bytes 4080 = 44 + 4032 + 4 (sync, crc)
        ('Sci0TypeNonZero', 1, 'IDX__SCI0RAW', 4032, '1ff7fe00', '1ff80600', '91e10fb498cbeec9db93178f1bb7194b5f01854fc72c413b6099c6fecacc72f9'),
        # PKT_LEN = bytes 4-5 0b 55 = 2901; size = 8*2901-328 = 22880 bits = 2860 bytes; starts at bit 352 = byte 44, ends at byte 2903; packet bytes 2908 = 44 + 2860 + 4 (sync, crc)
        ('Sci0TypeNonZero', 3, 'IDX__SCI0RAW', 2860, '3bff0bc5', '000364dc', '02544d6918045753a36fbfd0bdea24205a6b310e63e44f4aa80885ef62fd7f7d'),
        # PKT_LEN = bytes 4-5 04 29 = 1065; size = 8*1065-328 = 8192 bits = 1024 bytes; starts at bit 352 = byte 44, ends at byte 1067; packet bytes 1072 = 44 + 1024 + 4 (sync, crc)
        ('Sci0TypeNonZero', 10, 'IDX__SCI0RAW', 1024, '00818818', '0072f72c', '05421d7a6b555efe6ef2a23b2f79b55f2e6cd6eab64bacac057356f148bcafa5'),
        # PKT_LEN = bytes 4-5 04 29 = 1065; size = 8*1065-328 = 8192 bits = 1024 bytes; starts at bit 352 = byte 44, ends at byte 1067; packet bytes 1072 = 44 + 1024 + 4 (sync, crc)
        ('Sci0TypeNonZero', 11, 'IDX__SCI0RAW', 1024, '0081f81f', '00bf9bf4', '365da80cd85535b24ef1e4fa55984128e9e1787cf392f35f288ff8fca5a6d2d5'),
        # PKT_LEN = bytes 4-5 04 29 = 1065; size = 8*1065-328 = 8192 bits = 1024 bytes; starts at bit 352 = byte 44, ends at byte 1067; packet bytes 1072 = 44 + 1024 + 4 (sync, crc)
        ('Sci0TypeNonZero', 12, 'IDX__SCI0RAW', 1024, '007f77f5', '000c30bc', '2dc3949f3b9811403b6253205b1f6ffea31695972356f54b84c0b43cfa570848'),
        # PKT_LEN = bytes 4-5 0f e9 = 4073; size = 8*4073-328 = 32256 bits = 4032 bytes; starts at bit 352 = byte 44, ends at byte 4075; packet bytes 4080 = 44 + 4032 + 4 (sync, crc)
        ('Sci0TypeNonZero', 40, 'IDX__SCI0RAW', 4032, '15f58965', '0c6324cc', '67fe287808e31e613225972087322056d976ccb652faa15b786b8883eada2a26'),
        # PKT_LEN = bytes 4-5 04 29 = 1065; size = 8*1065-328 = 8192 bits = 1024 bytes; starts at bit 352 = byte 44, ends at byte 1067; packet bytes 1072 = 44 + 1024 + 4 (sync, crc)
        ('Sci0TypeNonZero', 77, 'IDX__SCI0RAW', 1024, '0023b234', '00449442', '9fb7dbea546befec24157f3b6567e60aea4530453a67be0b93cf8d74cea1fd20'),
    ],
    "properties": {
        "packet_bytes_eq_PKT_LEN_plus_7": True,
        "seq": "SRC_SEQ_CTR 0..77, +1 per packet, one APID",
        # 78 whole packets and nothing after them: the last packet (index 77, offset 219272, 1072 bytes)
        # ends exactly at the end of the file (220344 bytes). There is no cut-off tail.
        "tail": None, "tail_offset": 220344, "tail_missing_bytes": 0,
        "blob_bytes_eq_PKT_LEN_minus_41": True,  # (8*PKT_LEN - 328) / 8; packet = 44 + blob + 4
        "packet_bytes_by_container": {"Sci0TypeZero": [304], "Sci0TypeNonZero": [1072, 2908, 4080]},
        "sci0type_values": {1: 6, 2: 18, 4: 18, 8: 18, 16: 6, 32: 6, 64: 6},
        # each event (IDX__SCI0EVTNUM 0..5) is 13 packets: 1 header (type 1), 3 each of types 2/4/8
        # (4080, 4080, 2908 bytes, IDX__SCI0FRAGOFF 0, 1008, 2016), 1 each of 16/32/64 (1072 bytes)
        "sync_word": 0x3333,   # IDX__SYNCSCI0PKT, last-but-one 16 bits of every packet
        # IDX__CRCSCI0PKT (last 16 bits) = CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, no reflection,
        # no final xor) over packet[0:-2] (primary header through sync word); holds for all 78.
        # Equivalently the same CRC over the whole packet is 0.
        "crc": {"width": 16, "poly": 0x1021, "init": 0xFFFF, "refin": False, "refout": False, "xorout": 0x0000, "check_123456789": 0x29B1, "over": "packet[:-2]", "stored": "packet[-2:], big-endian"},
    },
}

# ======================================================================
# SUDA: APID 1425, each packet behind a 4-byte record header 60 f0 60 60 (the same in all 13;
# not described by the XTCE). The definition does describe 1425: IDX_SCIFETCH (PKT_APID == 1425,
# NOT marked abstract) with SciFetchTypeZero (IDX__SCIFETCHTYPE == 1) and SciFetchTypeNonZero (> 1),
# laid out bit for bit like the 1424 containers (IDX__SCIFETCH*/IDX__FETHDR* names).
# Offsets in the comments are from the packet start (file offset + 4 for the record header).
# ======================================================================
SUDA = {
    "file": "sciData_2022_130_17_41_53.spl", "record_header_bytes": 4, "packets": 13, "file_bytes": 36776,
    "containers": {'SciFetchTypeNonZero': 12, 'SciFetchTypeZero': 1},
    # packet index -> (file offset of the packet, i.e. after its record header; total bytes; container)
    "picked": {
        0: (4, 304, "SciFetchTypeZero"),
        1: (312, 4080, "SciFetchTypeNonZero"),
        3: (8480, 2908, "SciFetchTypeNonZero"),
        6: (19560, 2908, "SciFetchTypeNonZero"),
        10: (33552, 1072, "SciFetchTypeNonZero"),
        12: (35704, 1072, "SciFetchTypeNonZero"),
    },
    # (container, packet index in the stream, parameter name, expected raw value)
    # unsigned/signed integers as Python int, IEEE floats as the Python float of the 32-bit value
    "values": [
        # --- packet 0: SciFetchTypeZero ---
        ('SciFetchTypeZero', 0, 'VERSION', 0),  # bits 0-2: byte 0 = 0d; int >> 5 & 0x7 = 0x0
        ('SciFetchTypeZero', 0, 'SRC_SEQ_CTR', 0),  # bits 18-31: byte 2-3 = c0 00; int >> 0 & 0x3fff = 0x0000
        ('SciFetchTypeZero', 0, 'IDX__SCIFETCHTYPE', 1),  # bits 128-135: byte 16 = 01
        ('SciFetchTypeZero', 0, 'IDX__SCIFETCHCOMP', 0),  # bits 159-159: byte 19 = 04; int >> 0 & 0x1 = 0x0
        ('SciFetchTypeZero', 0, 'IDX__SCIFETCHVER', 9),  # bits 208-223: byte 26-27 = 00 09
        ('SciFetchTypeZero', 0, 'IDX__FETHDRTIMESUBS', 40651),  # bits 432-447: byte 54-55 = 9e cb
        ('SciFetchTypeZero', 0, 'IDX__FETHDREVTNUM', 50),  # bits 464-479: byte 58-59 = 00 32
        ('SciFetchTypeZero', 0, 'IDX__FETHDRPOLCTRL', 0),  # bits 759-759: byte 94 = 00; int >> 0 & 0x1 = 0x0
        ('SciFetchTypeZero', 0, 'IDX__FETHDRTOFMAX', 549981903),  # bits 896-927: byte 112-115 = 20 c8 0e cf
        ('SciFetchTypeZero', 0, 'IDX__CRCSCIFETCHPKT', 557),  # bits 2416-2431: byte 302-303 = 02 2d
        ('SciFetchTypeNonZero', 1, 'SEQ_FLGS', 3),  # bits 16-17: byte 2 = c0; int >> 6 & 0x3 = 0x3
        ('SciFetchTypeNonZero', 1, 'IDX__SCIFETCHAID', 2415329301),  # bits 96-127: byte 12-15 = 8f f7 00 15
        ('SciFetchTypeNonZero', 1, 'IDX__SCIFETCHFRAG', 1),  # bits 158-158: byte 19 = 06; int >> 1 & 0x1 = 0x1
        ('SciFetchTypeNonZero', 1, 'IDX__SCIFETCHFRAGOFF', 0),  # bits 192-207: byte 24-25 = 00 00
        # --- packet 3: SciFetchTypeNonZero ---
        ('SciFetchTypeNonZero', 3, 'VERSION', 0),  # bits 0-2: byte 0 = 0d; int >> 5 & 0x7 = 0x0
        ('SciFetchTypeNonZero', 3, 'SRC_SEQ_CTR', 3),  # bits 18-31: byte 2-3 = c0 03; int >> 0 & 0x3fff = 0x0003
        ('SciFetchTypeNonZero', 3, 'IDX__SCIFETCHTYPE', 2),  # bits 128-135: byte 16 = 02
        ('SciFetchTypeNonZero', 3, 'IDX__SCIFETCHCOMP', 0),  # bits 159-159: byte 19 = 04; int >> 0 & 0x1 = 0x0
        ('SciFetchTypeNonZero', 3, 'IDX__SCIFETCHVER', 9),  # bits 208-223: byte 26-27 = 00 09
        ('SciFetchTypeNonZero', 6, 'TYPE', 0),  # bits 3-3: byte 0 = 0d; int >> 4 & 0x1 = 0x0
        ('SciFetchTypeNonZero', 6, 'PKT_LEN', 2901),  # bits 32-47: byte 4-5 = 0b 55
        ('SciFetchTypeNonZero', 6, 'IDX__SCIFETCHCONT', 127),  # bits 136-143: byte 17 = 7f
        ('SciFetchTypeNonZero', 6, 'IDX__SCIFETCHEVTNUM', 50),  # bits 160-175: byte 20-21 = 00 32
        ('SciFetchTypeNonZero', 6, 'IDX__SCIFETCHTIME32', 350845307),  # bits 224-255: byte 28-31 = 14 e9 79 7b
        ('SciFetchTypeNonZero', 10, 'SEC_HDR_FLG', 1),  # bits 4-4: byte 0 = 0d; int >> 3 & 0x1 = 0x1
        ('SciFetchTypeNonZero', 10, 'SHCOARSE', 389900332),  # bits 48-79: byte 6-9 = 17 3d 68 2c
        ('SciFetchTypeNonZero', 10, 'IDX__SCIFETCHSPARE1', 0),  # bits 144-156: byte 18-19 = 00 04; int >> 3 & 0x1fff = 0x0000
        ('SciFetchTypeNonZero', 10, 'IDX__SCIFETCHCAT', 32),  # bits 176-183: byte 22 = 20
        ('SciFetchTypeNonZero', 10, 'IDX__SYNCSCIFETCHPKT', 13107),  # after IDX__SCIFETCHRAW: bit 352 + (8*PKT_LEN-328 = 8192) bits = 8544; bits 8544-8559: byte 1068-1069 = 33 33
        ('SciFetchTypeNonZero', 12, 'PKT_APID', 1425),  # bits 5-15: byte 0-1 = 0d 91; int >> 0 & 0x7ff = 0x591
        ('SciFetchTypeNonZero', 12, 'SHFINE', 51653),  # bits 80-95: byte 10-11 = c9 c5
        ('SciFetchTypeNonZero', 12, 'IDX__SCIFETCHPACK', 1),  # bits 157-157: byte 19 = 04; int >> 2 & 0x1 = 0x1
        ('SciFetchTypeNonZero', 12, 'IDX__SCIFETCHQUAL', 5),  # bits 184-191: byte 23 = 05
        ('SciFetchTypeNonZero', 12, 'IDX__CRCSCIFETCHPKT', 16938),  # after IDX__SCIFETCHRAW: bit 352 + (8*PKT_LEN-328 = 8208) bits = 8560; bits 8560-8575: byte 1070-1071 = 42 2a
    ],
    "labels": [
        ('SciFetchTypeZero', 0, 'IDX__SCIFETCHPACK', 'EN'),  # raw 1 -> label
        ('SciFetchTypeZero', 0, 'IDX__SCIFETCHFRAG', 'DS'),  # raw 0 -> label
        ('SciFetchTypeZero', 0, 'IDX__SCIFETCHCOMP', 'DS'),  # raw 0 -> label
        ('SciFetchTypeZero', 0, 'IDX__FETHDRPOLSTAT', 'POS'),  # raw 0 -> label
        ('SciFetchTypeZero', 0, 'IDX__FETHDRPOLCTRL', 'POS'),  # raw 0 -> label
        ('SciFetchTypeZero', 0, 'IDX__FETHDRCOINENA', 'DIS'),  # raw 0 -> label
        ('SciFetchTypeZero', 0, 'IDX__FETHDRLSTRIGMODE', 'DIS'),  # raw 0 -> label
        ('SciFetchTypeNonZero', 1, 'IDX__SCIFETCHPACK', 'EN'),  # raw 1 -> label
        ('SciFetchTypeNonZero', 1, 'IDX__SCIFETCHFRAG', 'EN'),  # raw 1 -> label
        ('SciFetchTypeNonZero', 1, 'IDX__SCIFETCHCOMP', 'DS'),  # raw 0 -> label
        ('SciFetchTypeNonZero', 3, 'IDX__SCIFETCHPACK', 'EN'),  # raw 1 -> label
        ('SciFetchTypeNonZero', 3, 'IDX__SCIFETCHFRAG', 'DS'),  # raw 0 -> label
        ('SciFetchTypeNonZero', 3, 'IDX__SCIFETCHCOMP', 'DS'),  # raw 0 -> label
        ('SciFetchTypeNonZero', 6, 'IDX__SCIFETCHPACK', 'EN'),  # raw 1 -> label
        ('SciFetchTypeNonZero', 6, 'IDX__SCIFETCHFRAG', 'DS'),  # raw 0 -> label
        ('SciFetchTypeNonZero', 6, 'IDX__SCIFETCHCOMP', 'DS'),  # raw 0 -> label
        ('SciFetchTypeNonZero', 10, 'IDX__SCIFETCHPACK', 'EN'),  # raw 1 -> label
        ('SciFetchTypeNonZero', 10, 'IDX__SCIFETCHFRAG', 'DS'),  # raw 0 -> label
        ('SciFetchTypeNonZero', 10, 'IDX__SCIFETCHCOMP', 'DS'),  # raw 0 -> label
        ('SciFetchTypeNonZero', 12, 'IDX__SCIFETCHPACK', 'EN'),  # raw 1 -> label
        ('SciFetchTypeNonZero', 12, 'IDX__SCIFETCHFRAG', 'DS'),  # raw 0 -> label
        ('SciFetchTypeNonZero', 12, 'IDX__SCIFETCHCOMP', 'DS'),  # raw 0 -> label
    ],
    # (container, packet index, parameter, size in bytes, first 4 bytes, last 4 bytes, sha256 of the blob)
    "blobs": [
        # PKT_LEN = bytes 4-5 0f e9 = 4073; size = 8*4073-328 = 32256 bits = 4032 bytes; starts at bit 352 = byte 44, ends at byte 4075; packet bytes 4080 = 44 + 4032 + 4 (sync, crc)
        ('SciFetchTypeNonZero', 1, 'IDX__SCIFETCHRAW', 4032, '20180602', '1f87d9fb', '7a0f8d37aac680ec1e1fe3114ec94248c6d8ecd7256666846007ce15b7c5f6fe'),
        # PKT_LEN = bytes 4-5 0b 55 = 2901; size = 8*2901-328 = 22880 bits = 2860 bytes; starts at bit 352 = byte 44, ends at byte 2903; packet bytes 2908 = 44 + 2860 + 4 (sync, crc)
        ('SciFetchTypeNonZero', 3, 'IDX__SCIFETCHRAW', 2860, '1f482602', '00080a03', 'fb3783448ddd830dd69f925c0a3bd62fa94d5e1a693622fb1c64e492e415211b'),
        # PKT_LEN = bytes 4-5 0b 55 = 2901; size = 8*2901-328 = 22880 bits = 2860 bytes; starts at bit 352 = byte 44, ends at byte 2903; packet bytes 2908 = 44 + 2860 + 4 (sync, crc)
        ('SciFetchTypeNonZero', 6, 'IDX__SCIFETCHRAW', 2860, '20080201', '0007f5fe', 'a8872829fbd0631d32580df53db178b3d888d85a839e6c4ce404e3be274e452e'),
        # PKT_LEN = bytes 4-5 04 29 = 1065; size = 8*1065-328 = 8192 bits = 1024 bytes; starts at bit 352 = byte 44, ends at byte 1067; packet bytes 1072 = 44 + 1024 + 4 (sync, crc)
        ('SciFetchTypeNonZero', 10, 'IDX__SCIFETCHRAW', 1024, '00baeba3', '0086f857', 'c9050fc213f68519bf6c0059bfd9c1ce11c3c822422a39511e909bf9020230bf'),
        # PKT_LEN = bytes 4-5 04 29 = 1065; size = 8*1065-328 = 8192 bits = 1024 bytes; starts at bit 352 = byte 44, ends at byte 1067; packet bytes 1072 = 44 + 1024 + 4 (sync, crc)
        ('SciFetchTypeNonZero', 12, 'IDX__SCIFETCHRAW', 1024, '00803802', '0084b84d', 'd7f240d521a716605e64f8c35279b0035dcbf2f2dfd7e5ffecb68ce945a0c394'),
    ],
    "properties": {
        "record_header_hex": "60f06060",  # before every packet; file offset of packet k = sum of earlier (4 + bytes) + 4
        "packet_bytes_eq_PKT_LEN_plus_7": True,
        "seq": "SRC_SEQ_CTR 0..12, +1 per packet",
        "tail": None,  # 13 records tile the 36776-byte file exactly
        "blob_bytes_eq_PKT_LEN_minus_41": True,
        "packet_bytes_by_container": {"SciFetchTypeZero": [304], "SciFetchTypeNonZero": [1072, 2908, 4080]},
        "scifetchtype_values": {1: 1, 2: 3, 4: 3, 8: 3, 16: 1, 32: 1, 64: 1},
        "sync_word": 0x3333,
        "crc": {"width": 16, "poly": 0x1021, "init": 0xFFFF, "refin": False, "refout": False, "xorout": 0x0000, "check_123456789": 0x29B1, "over": "packet[:-2]", "stored": "packet[-2:], big-endian"},  # CRC-16/CCITT-FALSE, all 13 hold
    },
}
