"""Azimuth and altitude of catalogue stars for a place and time, from astropy.

Reads lines "LAT LON HEIGHT UTC RA DEC" (degrees, metres, ISO time) and prints
"AZIMUTH ALTITUDE" in degrees for each: the ICRS position seen from the site,
without refraction, with UT1 = UTC. Exits 77 when astropy
is missing, for the test to skip with that reason.
"""
import sys
import warnings

try:
    from astropy.utils import iers
    from astropy.time import Time
    from astropy.coordinates import AltAz, EarthLocation, SkyCoord
    import astropy.units as u
except ImportError:
    print("astropy is not installed (Debian: python3-astropy)", file=sys.stderr)
    sys.exit(77)

iers.conf.auto_download = False
iers.conf.iers_degraded_accuracy = "ignore"
warnings.simplefilter("ignore")
# Past the end of the table astropy ships, it takes the last polar motion it
# knows (a few tenths of an arcsecond: hundredths of a pixel here).

for line in sys.stdin:
    lat, lon, height, when, ra, dec = line.split()
    site = EarthLocation.from_geodetic(lon=float(lon) * u.deg, lat=float(lat) * u.deg,
                                       height=float(height) * u.m)
    time = Time(when.rstrip("Z"), scale="utc")
    time.delta_ut1_utc = 0.0
    star = SkyCoord(ra=float(ra) * u.deg, dec=float(dec) * u.deg, frame="icrs")
    seen = star.transform_to(AltAz(obstime=time, location=site, pressure=0 * u.hPa))
    print(f"{seen.az.deg:.12f} {seen.alt.deg:.12f}")
