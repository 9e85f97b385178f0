#!/usr/bin/perl
# Small probes for the desktop check, written against perl-base only (Debian always has it):
#   xprobe.pl free-port tcp|udp   a loopback port that the kernel just handed out and nobody holds
#   xprobe.pl tray-owner DISPLAY  the window owning the XEmbed tray selection of screen 0, 0 if none
use strict;
use warnings;
use Socket qw(PF_INET SOCK_STREAM SOCK_DGRAM INADDR_ANY INADDR_LOOPBACK pack_sockaddr_in
              unpack_sockaddr_in);
use IO::Socket::UNIX;

sub free_port {
    my ($proto) = @_;
    my ($type, $address) = $proto eq 'udp' ? (SOCK_DGRAM, INADDR_ANY) : (SOCK_STREAM, INADDR_LOOPBACK);
    socket(my $socket, PF_INET, $type, 0) or die "socket: $!\n";
    bind($socket, pack_sockaddr_in(0, $address)) or die "bind: $!\n";
    my ($port) = unpack_sockaddr_in(getsockname($socket));
    close $socket;
    return $port;
}

sub read_exactly {
    my ($x, $length) = @_;
    my $data = '';
    while (length($data) < $length) {
        my $got = sysread($x, $data, $length - length($data), length($data));
        die "X server closed the connection\n" unless $got;
    }
    return $data;
}

# One request whose 32-byte reply carries a 32-bit value at offset 8.
sub round_trip {
    my ($x, $request) = @_;
    syswrite($x, $request) == length($request) or die "write: $!\n";
    my $reply = read_exactly($x, 32);
    die "X error " . ord(substr($reply, 1, 1)) . "\n" if ord($reply) == 0;
    my $extra = unpack('V', substr($reply, 4, 4));
    read_exactly($x, 4 * $extra) if $extra;
    return unpack('V', substr($reply, 8, 4));
}

sub tray_owner {
    my ($display) = @_;
    $display =~ s/^.*://;
    $display =~ s/\..*$//;
    my $x = IO::Socket::UNIX->new(Peer => "/tmp/.X11-unix/X$display")
        or die "connect to display :$display: $!\n";
    # Little-endian set-up without authorisation (the check's own server asks for none).
    syswrite($x, pack('a1 x v v v v x2', 'l', 11, 0, 0, 0));
    my $head = read_exactly($x, 8);
    die "X server refused the connection\n" unless ord($head) == 1;
    read_exactly($x, 4 * unpack('v', substr($head, 6, 2)));

    my $name = '_NET_SYSTEM_TRAY_S0';
    my $padded = $name . ("\0" x ((4 - length($name) % 4) % 4));
    my $atom = round_trip($x, pack('C C v v x2', 16, 0, 2 + length($padded) / 4, length($name))
                              . $padded);
    return round_trip($x, pack('C x v V', 23, 2, $atom));
}

my $command = shift // '';
if ($command eq 'free-port' && @ARGV == 1 && $ARGV[0] =~ /^(tcp|udp)$/) {
    print free_port($ARGV[0]), "\n";
} elsif ($command eq 'tray-owner' && @ARGV == 1) {
    print tray_owner($ARGV[0]), "\n";
} else {
    die "usage: $0 free-port tcp|udp | tray-owner DISPLAY\n";
}
