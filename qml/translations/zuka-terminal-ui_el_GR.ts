<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="el_GR" sourcelanguage="en_US">
<context>
    <name>Busy</name>
    <message>
        <source>License Plate</source>
        <translation>Πινακίδα Οχήματος</translation>
    </message>
</context>
<context>
    <name>CollectScreen</name>
    <message>
        <source>Insert your card</source>
        <translation>Εισάγετε την κάρτα σας</translation>
    </message>
    <message>
        <source>Rear License Plate</source>
        <translation>Πίσω Πινακίδα Οχήματος</translation>
    </message>
</context>
<context>
    <name>CustomPopup</name>
    <message>
        <source>No</source>
        <translation>Όχι</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Ναι</translation>
    </message>
</context>
<context>
    <name>DispenseScreen</name>
    <message>
        <source>Front License Plate</source>
        <translation>Μπροστινή Πινακίδα Οχήματος</translation>
    </message>
    <message>
        <source>Press button to issue card</source>
        <translation>Πατήστε το κουμπί για έκδοση κάρτας</translation>
    </message>
</context>
<context>
    <name>ErrorScreen</name>
    <message>
        <source>Transaction error</source>
        <translation>Παρουσιάστηκε Σφάλμα</translation>
    </message>
</context>
<context>
    <name>GUIManager</name>
    <message>
        <source>Exiting</source>
        <translation>Έξοδος</translation>
    </message>
    <message>
        <source>Initializing</source>
        <translation>Αρχικοποίηση</translation>
    </message>
    <message>
        <source>Please collect your card</source>
        <translation>Παρακαλώ παραλάβετε την κάρτα σας</translation>
    </message>
    <message>
        <source>Please wait</source>
        <translation>Παρακαλώ περιμένετε</translation>
    </message>
    <message>
        <source>Rebooting</source>
        <translation>Επανεκκίνηση</translation>
    </message>
    <message>
        <source>Shutting down</source>
        <translation>Τερματισμός Λειτουργίας</translation>
    </message>
    <message>
        <source>Thank you</source>
        <translation>Ευχαριστούμε</translation>
    </message>
</context>
<context>
    <name>InitPage</name>
    <message>
        <source>Not Registered</source>
        <translation>Μη καταχωρημένη συσκευή</translation>
    </message>
</context>
<context>
    <name>Login</name>
    <message>
        <source>LOGIN</source>
        <translation>ΕΙΣΟΔΟΣ</translation>
    </message>
    <message>
        <source>Pin</source>
        <translation>Κωδικός</translation>
    </message>
</context>
<context>
    <name>OutOfOrder</name>
    <message>
        <source>Out-of-order</source>
        <translation>Προσωρινά Εκτός Λειτουργίας</translation>
    </message>
</context>
<context>
    <name>Plate</name>
    <message>
        <source>Container Plate</source>
        <translation>Πινακίδα Φορτίου</translation>
    </message>
</context>
<context>
    <name>Success</name>
    <message>
        <source>License Plate</source>
        <translation>Πινακίδα Οχήματος</translation>
    </message>
</context>
</TS>
