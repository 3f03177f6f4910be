#include "tcp/modbus_frames.h"

#include <QtTest>

// The gateway's frames against bytes written out by hand, so that the reader and the writers
// cannot agree on a mistake.

namespace {

using Outcome = Mbap_reader::Outcome;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray with_crc(const QByteArray &bytes)
{
    const std::uint16_t crc = modbus_crc16(bytes.constData(), bytes.size());
    return bytes + char(crc & 0xFF) + char(crc >> 8);
}

const QByteArray read_request = hex("1234 0000 0006 11 03006B0003");
const QByteArray longest = hex("0001 0000 00FE 01") + QByteArray(modbus_max_pdu, '\x42');

} // namespace

Q_DECLARE_METATYPE(Rtu_check)

class Tst_modbus_frames : public QObject {
    Q_OBJECT

private slots:
    void crc_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("crc");
        QTest::newRow("read of 10 registers") << hex("01 030000000A") << hex("C5CD");
        QTest::newRow("read of 3 registers") << hex("11 03006B0003") << hex("7687");
        QTest::newRow("exception") << hex("01 8302") << hex("C0F1");
    }

    // Sent low byte first, right after the PDU.
    void crc()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, crc);
        QCOMPARE(rtu_frame(std::uint8_t(bytes[0]), bytes.mid(1)), bytes + crc);
    }

    void mbap_reader_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("piece");  // bytes appended at a time, 0 for all at once
        QTest::addColumn<int>("frames");
        QTest::addColumn<bool>("malformed");
        QTest::newRow("whole frame") << read_request << 0 << 1 << false;
        QTest::newRow("byte by byte") << read_request << 1 << 1 << false;
        QTest::newRow("two frames and a half in one piece")
            << read_request + longest + read_request.left(9) << 0 << 2 << false;
        QTest::newRow("two frames in pieces across them") << read_request + read_request << 5 << 2 << false;
        QTest::newRow("length 254, byte by byte") << longest << 1 << 1 << false;
        QTest::newRow("protocol id 1") << hex("0001 0001 0006 11 03006B0003") << 0 << 0 << true;
        QTest::newRow("length 1") << hex("0001 0000 0001 11") << 0 << 0 << true;
        QTest::newRow("length 255") << hex("0001 0000 00FF 01") + QByteArray(254, 0) << 0 << 0 << true;
        QTest::newRow("bad header after a frame") << read_request + hex("0001 0100 0006") << 1 << 1 << true;
        QTest::newRow("bad header seen before its frame is whole") << hex("0001 0000 0100 01") << 0 << 0 << true;
    }

    // Frames come out as they went in, however cut; a bad header ends the reading until clear().
    void mbap_reader()
    {
        QFETCH(QByteArray, stream);
        QFETCH(int, piece);
        QFETCH(int, frames);
        QFETCH(bool, malformed);
        Mbap_reader reader;
        QByteArray taken;
        int count = 0;
        Outcome last = Outcome::need_more;
        const int step = piece == 0 ? stream.size() : piece;
        for (int at = 0; at < stream.size(); at += step) {
            reader.append(stream.mid(at, step));
            Modbus_request request;
            while ((last = reader.next(request)) == Outcome::frame) {
                taken += mbap_frame(request.transaction, request.unit, request.pdu);
                ++count;
            }
        }
        QCOMPARE(count, frames);
        QVERIFY(stream.startsWith(taken));
        QCOMPARE(last, malformed ? Outcome::malformed : Outcome::need_more);
        if (!malformed)
            QCOMPARE(reader.pending(), stream.size() - taken.size());

        Modbus_request request;
        if (malformed) {
            reader.append(read_request);
            QCOMPARE(reader.next(request), Outcome::malformed);
        }
        reader.clear();
        QCOMPARE(reader.pending(), 0);
        reader.append(read_request);
        QCOMPARE(reader.next(request), Outcome::frame);
        QCOMPARE(request.transaction, std::uint16_t(0x1234));
        QCOMPARE(request.unit, std::uint8_t(0x11));
        QCOMPARE(request.pdu, hex("03006B0003"));
    }

    void rtu_check_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<Rtu_check>("check");
        const QByteArray reply = with_crc(hex("11 03 04 000A0102"));
        QByteArray bad_crc = reply;
        bad_crc[bad_crc.size() - 1] = char(bad_crc.back() ^ 1);
        QTest::newRow("reply") << reply << Rtu_check::good;
        QTest::newRow("reply of no data") << with_crc(hex("11 03")) << Rtu_check::good;
        QTest::newRow("exception") << with_crc(hex("11 83 02")) << Rtu_check::good;
        QTest::newRow("3 bytes") << hex("11 03 04") << Rtu_check::too_short;
        QTest::newRow("exception without its code") << with_crc(hex("11 83")) << Rtu_check::too_short;
        QTest::newRow("exception of 6 bytes") << with_crc(hex("11 83 02 00")) << Rtu_check::too_short;
        QTest::newRow("bad crc") << bad_crc << Rtu_check::bad_crc;
        QTest::newRow("bad crc of another unit") << hex("12") + bad_crc.mid(1) << Rtu_check::bad_crc;
        QTest::newRow("other unit") << with_crc(hex("12 04 00")) << Rtu_check::other_unit;
        QTest::newRow("other function") << with_crc(hex("11 04 02 0000")) << Rtu_check::other_function;
        QTest::newRow("exception of another function") << with_crc(hex("11 84 02")) << Rtu_check::other_function;
    }

    // Held against a read of holding registers from unit 0x11.
    void rtu_check()
    {
        QFETCH(QByteArray, frame);
        QFETCH(Rtu_check, check);
        QCOMPARE(check_rtu_reply(frame, 0x11, 0x03), check);
    }

    // A reply of the right unit and function that answers an earlier request is told apart.
    void reply_answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("answers");
        QTest::newRow("read of 2 registers") << hex("03 0000 0002") << hex("03 04 00010002") << true;
        QTest::newRow("read of 1 register answered for 2") << hex("03 0000 0002") << hex("03 02 0001") << false;
        QTest::newRow("read of 10 coils") << hex("01 0000 000A") << hex("01 02 FF03") << true;
        QTest::newRow("byte count beside the data") << hex("04 0000 0001") << hex("04 02 00") << false;
        QTest::newRow("write echoed") << hex("06 0005 1234") << hex("06 0005 1234") << true;
        QTest::newRow("write of another value") << hex("06 0005 1234") << hex("06 0005 4321") << false;
        QTest::newRow("multiple write echoed") << hex("10 0006 0002 04 0102A0B0") << hex("10 0006 0002") << true;
        QTest::newRow("multiple write elsewhere") << hex("10 0006 0002 04 0102A0B0") << hex("10 0007 0002") << false;
        QTest::newRow("exception") << hex("03 0000 0002") << hex("83 02") << true;
        QTest::newRow("other function, any reply") << hex("2B 0E01") << hex("2B 0E01 00") << true;
    }
    void reply_answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        QFETCH(bool, answers);
        QCOMPARE(::reply_answers(request, reply), answers);
    }

    void round_trips_data()
    {
        QTest::addColumn<QByteArray>("pdu");
        QTest::newRow("function alone") << hex("11");
        QTest::newRow("exception") << modbus_exception_pdu(0x03, std::uint8_t(Modbus_exception::path_unavailable));
        QTest::newRow("longest") << longest.mid(mbap_header_size);
    }

    // A request goes through the reader and out to the device, its reply back to the master.
    void round_trips()
    {
        QFETCH(QByteArray, pdu);
        const QByteArray mbap = mbap_frame(0xA55A, 0xF7, pdu);
        Mbap_reader reader;
        reader.append(mbap);
        Modbus_request request;
        QCOMPARE(reader.next(request), Outcome::frame);
        const QByteArray rtu = rtu_frame(request.unit, request.pdu);
        QCOMPARE(check_rtu_reply(rtu, 0xF7, std::uint8_t(pdu[0] & 0x7F)), Rtu_check::good);
        QCOMPARE(mbap_frame(request.transaction, request.unit, rtu_pdu(rtu)), mbap);
    }

    void writers()
    {
        QCOMPARE(mbap_frame(0x1234, 0x11, hex("03006B0003")), read_request);
        QCOMPARE(mbap_frame(0x0001, 0x01, longest.mid(mbap_header_size)), longest);
        QCOMPARE(modbus_exception_pdu(0x10, std::uint8_t(Modbus_exception::target_failed)), hex("90 0B"));
    }
};

QTEST_GUILESS_MAIN(Tst_modbus_frames)
#include "tst_modbus_frames.moc"
